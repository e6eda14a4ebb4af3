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
int64_t FakeClock_Ns(void);  // the time now, without counting a read

// A read fills the framebuffer with FakeGl_Pixel (row 0 at the bottom),
// each row starting at a multiple of the pack alignment, as GL does.
// Timer queries, found through eglGetProcAddress (an EGL context is
// current) or, with glx, glXGetProcAddressARB: the GL clock is the fake
// clock; a timestamp's result is the clock at its issue plus lagNs, and is
// available once `latency` later ones have been issued (the GPU finishes in
// order); reading it before then is a wait, as GL would stall.
struct FakeGl {
    int packAlignment, reads, wrongReads;  // wrong: not the whole framebuffer as RGB bytes
    int64_t readNs;                        // what a read takes on the fake clock
    int counterBits;                       // GL_QUERY_COUNTER_BITS of GL_TIMESTAMP
    bool glx;                              // the current context is GLX's, not EGL's
    const char *missing;                   // an entry point the GetProcAddress doesn't know
    bool listsDisjoint, disjoint;          // EXT_disjoint_timer_query listed; its flag, cleared when read
    int latency;
    int64_t lagNs;
    int issued, waits, live;               // timestamps issued; results waited for; query objects held
};
extern FakeGl fakeGl;
void FakeGl_Reset(void);  // GL's default alignment of 4, no reads, 64-bit timer, no latency or lag
unsigned char FakeGl_Pixel(int x, int y, int channel);
