#!/usr/bin/env python3
"""Writes the lifecycle fuzz target's seed corpus (layout in lifecycle_fuzz.cpp):
runs of the game, and each script in fuzz/scripts/ loaded and flown.

Run from the repository root: python3 fuzz/seeds.py
"""
import os
import struct

INIT, MAP, FRAME, BURST, CHUNKS, CAMERA, TAKE_HOOK, FREE_HOOK, RENDER, ENTITY, RESIZE, QUIT = range(12)
SCRIPT = b"warmup 0.5 0.25 5\n0 0 0 0 0 0\n5 10 0 0 90 0\n70 10 10 0 180 -10\n"
FLY = [(INIT, 0), (MAP, 0), (BURST, 60), (BURST, 60)]


def seed(flyrate=2, shots=0, passes=0, close=1, w=4, h=3, script=SCRIPT, steps=()):
    body = bytes([flyrate, shots, passes, close, w, h]) + struct.pack("<H", len(script)) + script
    return body + bytes(b for step in steps for b in step)


here = os.path.dirname(os.path.abspath(__file__))
SEEDS = {
    "run": seed(steps=FLY),
    # screenshots, a per-frame log and three passes, close a few steps later
    "shots-passes": seed(shots=7, passes=5, close=6, steps=[(INIT, 0), (MAP, 0), (BURST, 250), (BURST, 250), (FRAME, 5)]),
    # chunks keep coming, the camera is swapped, the entity goes away; the log goes to a full disk
    "busy-host": seed(shots=10, passes=4, steps=[(INIT, 0), (MAP, 0), (CHUNKS, 9), (FRAME, 100), (CHUNKS, 250), (FRAME, 210),
                                                  (CAMERA, 0), (ENTITY, 1), (FRAME, 16), (CAMERA, 2), (MAP, 0), (BURST, 200)]),
    "no-hook": seed(steps=[(TAKE_HOOK, 0), (TAKE_HOOK, 1), (TAKE_HOOK, 2), (TAKE_HOOK, 3), (INIT, 0), (MAP, 0), (FRAME, 1)]),
    # the hook slot is given to someone else mid-run; the user quits
    "hook-stolen": seed(steps=[(INIT, 0), (MAP, 0), (BURST, 40), (FREE_HOOK, 0), (TAKE_HOOK, 0), (FRAME, 3), (QUIT, 4),
                               (FRAME, 3), (RENDER, 0)]),
    "bad-script": seed(shots=4, script=b"0 1 2 3 4 5\r\n3 x\n", steps=[(INIT, 0), (MAP, 0), (FRAME, 1)]),
    "directory": seed(flyrate=3, shots=3, steps=[(INIT, 0), (MAP, 0), (FRAME, 1)]),
    "quit-warmup": seed(shots=2, w=0, h=7, steps=[(INIT, 0), (MAP, 0), (FRAME, 100), (RESIZE, 40), (QUIT, 1)]),
    # FLYRATE unset, FLYRATE_RECORD set: the game's camera recorded while it swaps cameras
    "record": seed(flyrate=0, shots=17, steps=[(INIT, 0), (BURST, 3), (MAP, 0), (BURST, 90), (CAMERA, 0), (BURST, 30), (QUIT, 1)]),
}
for name in sorted(os.listdir(os.path.join(here, "scripts"))):
    with open(os.path.join(here, "scripts", name), "rb") as f:
        SEEDS["script-" + name.rsplit(".", 1)[0]] = seed(script=f.read(), steps=FLY)

out = os.path.join(here, "corpus", "lifecycle")
os.makedirs(out, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
