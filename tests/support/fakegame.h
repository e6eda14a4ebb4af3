// fakegame.h: the game, as every program that links the plug-in's code
// plays it (unit tests, fault injection, fuzzing, benchmarks).
//
// fakegame.cpp defines the host records the plug-in binds to, the close
// event and the game's own cameras; it renders frames the game's way (the
// active camera's pose, then the Draw2D hooks) and replaces clock_gettime,
// so time moves only when a program says so. fakegl.cpp, a library of its
// own, answers the OpenGL calls of a capture; the benchmarks leave it out.
#pragma once

#include "plugin/bench.h"

struct FakeGame {
    int closeRequests;       // times the closing event was raised
    void (*onClose)(void);   // run inside Event_RaiseVoid: a game that shuts down at once
    HostCamera hostCamera;   // the game's own camera, active after reset
    HostCamera otherCamera;  // another camera the game may switch to
    HostEntity entity;       // the camera's entity
    Vec3 position;           // the game's own camera pose, radians
    Vec2 orientation;
    Vec3 shownPosition;      // the pose the last frame was drawn from
    Vec2 shownOrientation;
    int frames;              // frames rendered since reset
};
extern FakeGame fakeGame;

// The game and the plug-in at start-up: host records zeroed, a 64x48
// framebuffer, the window open, the game's camera active with its entity,
// and `bench` at its defaults with its tables freed.
void FakeGame_Reset(void);
// One frame that took `seconds`: the clock moves on, the scene is drawn from
// the active camera, then every Draw2D hook runs (each slot read afresh).
void FakeGame_Frame(double seconds);

// Virtual CLOCK_MONOTONIC from Set until Release (the real clock otherwise),
// in whole nanoseconds, so quarters of a second add up exactly. After the
// next reading the clock moves on by AdvanceAfterNextRead's seconds, as if
// the caller then spent that long working (a capture, say).
void FakeClock_Set(double seconds);
void FakeClock_Advance(double seconds);
void FakeClock_AdvanceAfterNextRead(double seconds);
void FakeClock_Release(void);
int FakeClock_Reads(void);  // readings since Set

// A read fills the framebuffer with FakeGl_Pixel (row 0 at the bottom),
// each row starting at a multiple of the pack alignment, as GL does.
struct FakeGl {
    int packAlignment;  // GL's default of 4 after reset
    int reads;          // glReadPixels calls
    int wrongReads;     // reads not of the whole framebuffer as RGB bytes
};
extern FakeGl fakeGl;
void FakeGl_Reset(void);
unsigned char FakeGl_Pixel(int x, int y, int channel);
