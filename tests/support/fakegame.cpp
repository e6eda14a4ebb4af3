// fakegame.cpp: the game's records, close event, cameras, frame and clock.
#include "tests/support/fakegame.h"

#include <dlfcn.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

extern "C" {
HostGame Game;
HostCameraState Camera;
HostEntities Entities;
HostWindowInfo WindowInfo;
HostWindowEvents WindowEvents;

void Event_RaiseVoid(void *) {
    fakeGame.closeRequests++;
    if (fakeGame.onClose) fakeGame.onClose();
}
}

FakeGame fakeGame;

static Vec2 FakeGame_Orientation(void) { return fakeGame.orientation; }
static Vec3 FakeGame_Position(float) { return fakeGame.position; }

void FakeGame_Reset(void) {
    Bench_ReleaseTables();
    bench = BenchState{};
    Game = HostGame{}, Camera = HostCameraState{}, Entities = HostEntities{}, WindowInfo = HostWindowInfo{};
    fakeGame = FakeGame{};
    memset(&fakeGame.hostCamera, 0xAB, sizeof fakeGame.hostCamera);  // recognisable bytes in the other slots
    fakeGame.hostCamera.flag = 1;
    fakeGame.hostCamera.GetOrientation = FakeGame_Orientation;
    fakeGame.hostCamera.GetPosition = FakeGame_Position;
    fakeGame.otherCamera = fakeGame.hostCamera;
    fakeGame.otherCamera.flag = 2;
    Game.width = 64, Game.height = 48;
    WindowInfo.exists = 1;
    Camera.active = &fakeGame.hostCamera;
    Entities.cameraEntity = &fakeGame.entity;
}

void FakeGame_Frame(double seconds) {
    FakeClock_Advance(seconds);
    fakeGame.frames++;
    fakeGame.shownOrientation = Camera.active->GetOrientation();
    fakeGame.shownPosition = Camera.active->GetPosition(0.5f);
    for (HostDraw2DFn &slot : Game.Draw2DHooks)
        if (HostDraw2DFn hook = slot) hook(seconds);
}

static bool virtualOn;
static int64_t virtualNs, afterNextReadNs;
static int reads;

void FakeClock_Set(double seconds) {
    virtualOn = true;
    virtualNs = llround(seconds * 1e9);
    afterNextReadNs = reads = 0;
}
void FakeClock_Advance(double seconds) { virtualNs += llround(seconds * 1e9); }
void FakeClock_AdvanceAfterNextRead(double seconds) { afterNextReadNs = llround(seconds * 1e9); }
void FakeClock_Release(void) { virtualOn = false; }
int FakeClock_Reads(void) { return reads; }
int64_t FakeClock_Ns(void) { return virtualNs; }

// Off virtual time every call goes on to the C library's own (the vDSO's
// fast path), so the benchmarks time the real clock at its real cost.
extern "C" int clock_gettime(clockid_t id, struct timespec *ts) {
    typedef int (*ClockFn)(clockid_t, struct timespec *);
    static ClockFn real = (ClockFn)dlsym(RTLD_NEXT, "clock_gettime");
    if (!virtualOn || id != CLOCK_MONOTONIC) return real(id, ts);
    reads++;
    ts->tv_sec = (time_t)(virtualNs / 1000000000);
    ts->tv_nsec = (long)(virtualNs % 1000000000);
    virtualNs += afterNextReadNs;
    afterNextReadNs = 0;
    return 0;
}
