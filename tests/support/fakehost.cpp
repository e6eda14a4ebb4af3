// fakehost.cpp: the game's records as plain globals a test can inspect.
#include "tests/support/fakehost.h"

#include <string.h>

extern "C" {
HostGame Game;
HostCameraState Camera;
HostEntities Entities;
HostWindowInfo WindowInfo;
HostWindowEvents WindowEvents;

void Event_RaiseVoid(void *event) {
    fakeHost.closeRequests++;
    fakeHost.lastEvent = event;
    if (fakeHost.onClose) fakeHost.onClose();
}
}

FakeHost fakeHost;

Vec2 FakeHost_HostOrientation(void) { return Vec2{1.5f, -0.5f}; }
Vec3 FakeHost_HostPosition(float t) { return Vec3{t, 2.0f, 3.0f}; }

void FakeHost_Reset(void) {
    memset(&Game, 0, sizeof Game);
    memset(&Camera, 0, sizeof Camera);
    memset(&Entities, 0, sizeof Entities);
    memset(&WindowInfo, 0, sizeof WindowInfo);
    memset(&WindowEvents, 0, sizeof WindowEvents);
    memset(&fakeHost, 0, sizeof fakeHost);
    Game.width = 64;
    Game.height = 48;
    WindowInfo.exists = 1;
    fakeHost.hostCamera.flag = 1;
    fakeHost.hostCamera.GetOrientation = FakeHost_HostOrientation;
    fakeHost.hostCamera.GetPosition = FakeHost_HostPosition;
    memset(fakeHost.hostCamera.unknown40, 0xAB, sizeof fakeHost.hostCamera.unknown40);
    fakeHost.otherCamera = fakeHost.hostCamera;
    Camera.active = &fakeHost.hostCamera;
    Entities.cameraEntity = &fakeHost.entity;
}
