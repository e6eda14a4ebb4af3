#!/usr/bin/env python3
"""Writes the lifecycle fuzz target's seed corpus (layout in lifecycle_fuzz.cpp): runs of
the game, and each script of fuzz/scripts/ flown. Run from the repository root."""
import os
import struct

INIT, MAP, FRAME, BURST, CHUNKS, CAMERA, TAKE_HOOK, FREE_HOOK, QUIT = range(9)
SCRIPT = b"warmup 0.5 0.25 5\n0 0 0 0 0 0\n5 10 0 0 90 0\n70 10 10 0 180 -10\n"
FLY = [(INIT, 0), (MAP, 0), (BURST, 60), (BURST, 60)]


def seed(flyrate=2, env=0, passes=0, close=1, w=4, h=3, script=SCRIPT, steps=FLY):
    return bytes([flyrate, env, passes, close, w, h]) + struct.pack("<H", len(script)) + script + bytes(sum(steps, ()))


here = os.path.dirname(os.path.abspath(__file__))
SEEDS = {
    "run": seed(),
    "shots-csv-passes": seed(env=7, passes=5, close=6, steps=[(INIT, 0), (MAP, 0), (BURST, 250), (BURST, 250), (FRAME, 5)]),
    "busy-game": seed(env=10, passes=4, steps=[(INIT, 0), (MAP, 0), (CHUNKS, 9), (FRAME, 100), (CHUNKS, 250), (FRAME, 210),
                                               (CAMERA, 0), (FRAME, 16), (CAMERA, 1), (MAP, 0), (BURST, 200)]),
    "no-hook": seed(steps=[(TAKE_HOOK, 0), (TAKE_HOOK, 1), (TAKE_HOOK, 2), (TAKE_HOOK, 3), (INIT, 0), (MAP, 0), (FRAME, 1)]),
    "hook-stolen": seed(steps=[(INIT, 0), (MAP, 0), (BURST, 40), (FREE_HOOK, 0), (TAKE_HOOK, 0), (FRAME, 3), (QUIT, 4)]),
    "bad-script": seed(env=4, script=b"0 1 2 3 4 5\r\n3 x\n", steps=[(INIT, 0), (MAP, 0), (FRAME, 1)]),
    "directory": seed(flyrate=3, env=3),
    "quit-warmup": seed(env=2, w=0, h=7, steps=[(INIT, 0), (MAP, 0), (FRAME, 100), (QUIT, 1)]),
    "record": seed(flyrate=0, env=17, steps=[(INIT, 0), (BURST, 3), (MAP, 0), (BURST, 90), (CAMERA, 0), (BURST, 30), (QUIT, 1)]),
}
for name in sorted(os.listdir(os.path.join(here, "scripts"))):
    with open(os.path.join(here, "scripts", name), "rb") as f:
        SEEDS["script-" + name.rsplit(".", 1)[0]] = seed(script=f.read())
out = os.path.join(here, "corpus", "lifecycle")
for name in os.listdir(out):
    os.remove(os.path.join(out, name))
for name, data in SEEDS.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
