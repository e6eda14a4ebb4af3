// fuzzhost.h: the game as the fuzz targets play it.
//
// Both fuzz targets link the plug-in's sources directly, so they must define
// everything the game would: its records, Event_RaiseVoid, the two OpenGL
// calls the capture makes, and (to control time) clock_gettime. They also
// catch everything the plug-in writes to descriptor 1, one write() at a
// time, and check the log-line discipline on every record. Any broken
// invariant aborts, which libFuzzer reports as a crash with the input.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "plugin/host.h"

struct FuzzHost {
    HostCamera hostCamera;      // the game's own camera, active at reset
    HostCamera otherCamera;     // a second game camera the game may switch to
    HostEntity entity;
    void (*onClose)(void);      // run by Event_RaiseVoid after its checks
    int closeRequests;          // times the closing event was raised
    int pixelReads;             // glReadPixels calls since reset
    int packAlignment;          // last glPixelStorei(GL_PACK_ALIGNMENT) value
};

extern FuzzHost fuzzHost;

// Zeroes the game's records, opens the window, makes hostCamera active with
// the game's own callbacks, points Entities at entity, framebuffer w x h.
void FuzzHost_Reset(int32_t width, int32_t height);

// Aborts with a message on stderr when cond is false.
void FuzzHost_Check(bool cond, const char *what);

// The virtual monotonic clock; it is virtual only between On and Off, so
// libFuzzer's own timing is never disturbed.
void FuzzClock_On(int64_t startNs);
void FuzzClock_Advance(int64_t ns);
void FuzzClock_Off(void);

// Descriptor 1 goes to a packet-mode pipe, so each write() of the plug-in
// arrives as one record. Drain checks every record waiting in the pipe:
// it starts with "flyrate: ", holds no NUL, is at most 1023 bytes and ends
// in a newline, with no other newline except the one a parse error echoes
// from the script. It returns how many records it checked and keeps the
// last few for the caller.
void LogCatch_Start(void);
int LogCatch_Drain(void);
// The n-th record drained since the last LogCatch_Clear (0-based), or null.
const char *LogCatch_Record(int n);
int LogCatch_Count(void);
void LogCatch_Clear(void);
