// records.cpp: the host records a plug-in binds to, and the host's cameras.
//
// These are the symbols the game exports: a plug-in's undefined references
// to Game, Camera, Entities, WindowInfo, WindowEvents and Event_RaiseVoid
// resolve here when the stand-in dlopens it (the executable is linked with
// its symbols exported). The layouts come from plugin/host.h, the same
// declarations the plug-in is built against.
#include <string.h>

#include "standin/standin.h"

extern "C" {
__attribute__((visibility("default"))) HostGame Game;
__attribute__((visibility("default"))) HostCameraState Camera;
__attribute__((visibility("default"))) HostEntities Entities;
__attribute__((visibility("default"))) HostWindowInfo WindowInfo;
__attribute__((visibility("default"))) HostWindowEvents WindowEvents;

__attribute__((visibility("default"))) void Event_RaiseVoid(void *event) {
    if (event != &WindowEvents.Closing) return;
    standinEvents.closing = true;
    if (standinEvents.onClosing) standinEvents.onClosing();
}
}

StandinEvents standinEvents;
HostCamera hostMainCamera;
HostCamera hostOtherCamera;
HostEntity hostPlayer;

static Pose mainPose;

static Vec2 HostCam_MainOrientation(void) { return Vec2{mainPose.yaw, mainPose.pitch}; }
static Vec3 HostCam_MainPosition(float t) {
    (void)t;
    return Vec3{mainPose.x, mainPose.y, mainPose.z};
}

// The other camera hovers 30 blocks above the main one, looking straight
// down the other way: a switch to it is plain to see in a screenshot.
static Vec2 HostCam_OtherOrientation(void) { return Vec2{mainPose.yaw + 3.14159265f, -1.2f}; }
static Vec3 HostCam_OtherPosition(float t) {
    (void)t;
    return Vec3{mainPose.x, mainPose.y + 30.0f, mainPose.z};
}

void Records_Init(int width, int height, const Pose &pose) {
    memset(&Game, 0, sizeof Game);
    memset(&Camera, 0, sizeof Camera);
    memset(&Entities, 0, sizeof Entities);
    memset(&WindowInfo, 0, sizeof WindowInfo);
    memset(&WindowEvents, 0, sizeof WindowEvents);
    memset(&standinEvents, 0, sizeof standinEvents);
    memset(&hostPlayer, 0, sizeof hostPlayer);
    Game.width = width;
    Game.height = height;
    WindowInfo.exists = 1;
    for (int i = 0; i < 4; i++) Camera.matrix[i * 5] = 1.0f;  // no view tilt

    mainPose = pose;
    memset(&hostMainCamera, 0, sizeof hostMainCamera);
    hostMainCamera.flag = 1;  // the first-person camera
    hostMainCamera.GetOrientation = HostCam_MainOrientation;
    hostMainCamera.GetPosition = HostCam_MainPosition;
    hostOtherCamera = hostMainCamera;
    hostOtherCamera.GetOrientation = HostCam_OtherOrientation;
    hostOtherCamera.GetPosition = HostCam_OtherPosition;
    Camera.active = &hostMainCamera;
    Entities.cameraEntity = &hostPlayer;
}

void Records_SetMainPose(const Pose &pose) { mainPose = pose; }

void Records_RaiseClosing(void) {
    WindowInfo.exists = 0;
    Event_RaiseVoid(&WindowEvents.Closing);
}

const char *Records_DescribeActiveCamera(void) {
    if (Camera.active == &hostMainCamera) return "the host's own camera";
    if (Camera.active == &hostOtherCamera) return "the host's other camera";
    return "not a host camera";
}
