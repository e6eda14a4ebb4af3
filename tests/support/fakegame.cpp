// fakegame.cpp: the game's records, its close event, its cameras and its
// frame. See fakegame.h.
#include "tests/support/fakegame.h"

#include <stdlib.h>
#include <string.h>

extern "C" {
HostGame Game;
HostCameraState Camera;
HostEntities Entities;
HostWindowInfo WindowInfo;
HostWindowEvents WindowEvents;

void Event_RaiseVoid(void *event) {
    (void)event;
    fakeGame.closeRequests++;
    if (fakeGame.onClose) fakeGame.onClose();
}
}

FakeGame fakeGame;

static Vec2 FakeGame_Orientation(void) { return fakeGame.orientation; }
static Vec3 FakeGame_Position(float t) {
    (void)t;
    return fakeGame.position;
}

void FakeGame_Reset(void) {
    free(bench.keyframes);
    free(bench.frameTimes);
    bench = BenchState{};
    memset(&Game, 0, sizeof Game);
    memset(&Camera, 0, sizeof Camera);
    memset(&Entities, 0, sizeof Entities);
    memset(&WindowInfo, 0, sizeof WindowInfo);
    memset(&WindowEvents, 0, sizeof WindowEvents);
    memset(&fakeGame, 0, sizeof fakeGame);
    Game.width = 64;
    Game.height = 48;
    WindowInfo.exists = 1;
    // Recognisable bytes in the slots the scripted camera must keep.
    memset(&fakeGame.hostCamera, 0xAB, sizeof fakeGame.hostCamera);
    fakeGame.hostCamera.flag = 1;
    fakeGame.hostCamera.GetOrientation = FakeGame_Orientation;
    fakeGame.hostCamera.GetPosition = FakeGame_Position;
    fakeGame.otherCamera = fakeGame.hostCamera;
    fakeGame.otherCamera.flag = 2;
    Camera.active = &fakeGame.hostCamera;
    Entities.cameraEntity = &fakeGame.entity;
}

void FakeGame_Frame(double seconds) {
    FakeClock_Advance(seconds);
    fakeGame.frames++;
    HostCamera *camera = Camera.active;
    if (camera) {
        fakeGame.shownOrientation = camera->GetOrientation();
        fakeGame.shownPosition = camera->GetPosition(0.5f);
    }
    for (int i = 0; i < 4; i++) {
        HostDraw2DFn hook = Game.Draw2DHooks[i];
        if (hook) hook(seconds);
    }
}
