// fakegame.h: the game, as every program that links the plug-in's code
// plays it (unit tests, fault injection, fuzzing, benchmarks).
//
// fakegame.cpp defines the host records the plug-in binds to, the close
// event and the game's own cameras, and renders frames the way the game
// does: ask the active camera for its pose, then call the Draw2D hooks.
// fakeclock.cpp replaces clock_gettime so time moves only when a program
// says so (the real clock otherwise). fakegl.cpp, a library of its own,
// stands in for the OpenGL calls a capture makes; the benchmarks leave it
// out and read a real framebuffer.
#pragma once

#include <stdint.h>

#include "plugin/bench.h"
#include "plugin/host.h"

struct FakeGame {
    int closeRequests;         // times the closing event was raised
    void (*onClose)(void);     // run inside Event_RaiseVoid: a game that shuts down at once
    HostCamera hostCamera;     // the game's own camera, active after reset
    HostCamera otherCamera;    // another camera the game may switch to
    HostEntity entity;         // the camera's entity
    Vec3 position;             // the game's own camera pose, orientation in radians
    Vec2 orientation;
    Vec3 shownPosition;        // the pose the last rendered frame was drawn from
    Vec2 shownOrientation;
    int frames;                // frames rendered since reset
};
extern FakeGame fakeGame;

// Puts the game and the plug-in back to start-up: every host record zeroed,
// a 64x48 framebuffer, the window open, the game's camera active with the
// entity, and `bench` released (its tables freed) and set to its defaults.
void FakeGame_Reset(void);

// One rendered frame that took `seconds`: the clock moves on, the scene is
// drawn from the active camera, then every Draw2D hook runs. Slots are read
// afresh for each call, as a hook may empty one while it runs.
void FakeGame_Frame(double seconds);

// The controlled monotonic clock (fakeclock.cpp). Set switches
// CLOCK_MONOTONIC to virtual time, kept in whole nanoseconds so quarters of
// a second add up exactly; Release goes back to the real clock.
void FakeClock_Set(double seconds);
void FakeClock_Advance(double seconds);
// One-shot: right after the next reading the clock moves on by `seconds`,
// as if the caller then spent that long working (a capture, say).
void FakeClock_AdvanceAfterNextRead(double seconds);
void FakeClock_Release(void);
int FakeClock_Reads(void);  // readings since the last Set

// The OpenGL stand-in (fakegl.cpp). A read fills the framebuffer's picture,
// FakeGl_Pixel at each pixel, row 0 at the bottom, packing the rows at the
// current pack alignment as GL does.
struct FakeGl {
    int packAlignment;
    int reads;        // glReadPixels calls
    int wrongReads;   // reads not of the whole framebuffer as RGB bytes
};
extern FakeGl fakeGl;
// No reads yet, and the pack alignment at GL's default of 4.
void FakeGl_Reset(void);
unsigned char FakeGl_Pixel(int x, int y, int channel);
