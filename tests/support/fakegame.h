// fakegame.h: the game for every program that links the plug-in's code
// (unit tests, fault injection, fuzzing, benchmarks): host records, close
// event, cameras, frame, and a clock_gettime keeping virtual time on demand.
// A capture's OpenGL is apart (fakegl.cpp): benchmarks read a real one.
#pragma once

#include "plugin/bench.h"

struct FakeGame {
    int closeRequests, frames;  // close events raised; frames rendered
    void (*onClose)(void);      // run inside Event_RaiseVoid: a game that shuts down at once
    HostCamera hostCamera, otherCamera;  // the game's own camera (active after reset), and another
    HostEntity entity;          // the camera's entity
    Vec3 position;              // the game's camera pose (radians), and the last frame's
    Vec2 orientation;
    Vec3 shownPosition;
    Vec2 shownOrientation;
};
extern FakeGame fakeGame;

// The game and the plug-in at start-up: records zeroed, a 64x48 framebuffer,
// the window open, the game's camera active, `bench` at its defaults.
void FakeGame_Reset(void);
// One frame that took `seconds`: the clock moves on, the scene is drawn from
// the active camera, then every Draw2D hook runs (each slot read afresh).
void FakeGame_Frame(double seconds);

// Virtual CLOCK_MONOTONIC from Set until Release, in whole nanoseconds;
// AdvanceAfterNextRead: the caller then works that long (a capture, say).
void FakeClock_Set(double seconds);
void FakeClock_Advance(double seconds);
void FakeClock_AdvanceAfterNextRead(double seconds);
void FakeClock_Release(void);
int FakeClock_Reads(void);  // since Set

// A read fills the framebuffer with FakeGl_Pixel (row 0 at the bottom),
// each row starting at a multiple of the pack alignment, as GL does.
struct FakeGl {
    int packAlignment, reads, wrongReads;  // wrong: not the whole framebuffer as RGB bytes
};
extern FakeGl fakeGl;
void FakeGl_Reset(void);  // GL's default alignment of 4, no reads
unsigned char FakeGl_Pixel(int x, int y, int channel);
