// fakehost.h: a scriptable stand-in for the game's records, for tests.
//
// Defines the symbols the plug-in binds to (Game, Camera, Entities,
// WindowInfo, WindowEvents, Event_RaiseVoid) and lets a test decide what the
// game does when asked to close: nothing, or shut down at once by calling
// the plug-in's free slot from inside Event_RaiseVoid.
#pragma once

#include "plugin/host.h"

struct FakeHost {
    int closeRequests;            // times the closing event was raised
    void *lastEvent;              // address handed to Event_RaiseVoid
    void (*onClose)(void);        // called inside Event_RaiseVoid, if set
    HostCamera hostCamera;        // the game's own camera, active after Reset
    HostCamera otherCamera;       // another game camera to switch to
    HostEntity entity;            // the camera's entity after Reset
};

extern FakeHost fakeHost;

// Zeroes every host record, makes hostCamera active (with recognisable
// callbacks), points Entities at entity, opens the window and sets a
// 64 x 48 framebuffer.
void FakeHost_Reset(void);

// The fake game's own pose callbacks, so tests can tell them apart.
Vec2 FakeHost_HostOrientation(void);
Vec3 FakeHost_HostPosition(float t);
