// fuzzhost.cpp: the game's records, clock, OpenGL reads and log catcher for
// the fuzz targets. See fuzzhost.h.
#include "fuzz/fuzzhost.h"

#include <GL/gl.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

extern "C" {
HostGame Game;
HostCameraState Camera;
HostEntities Entities;
HostWindowInfo WindowInfo;
HostWindowEvents WindowEvents;

// Only the plug-in raises events in this game: its close request.
void Event_RaiseVoid(void *event) {
    FuzzHost_Check(event == &WindowEvents.Closing, "the plug-in raised an event other than Closing");
    FuzzHost_Check(WindowInfo.exists == 0, "close requested without clearing the window-open flag");
    fuzzHost.closeRequests++;
    if (fuzzHost.onClose) fuzzHost.onClose();
}

void glPixelStorei(GLenum pname, GLint param) {
    if (pname == GL_PACK_ALIGNMENT) fuzzHost.packAlignment = param;
}

// Fills exactly the bytes a tightly packed RGB read of the framebuffer
// writes: ASan catches a buffer too small for it.
void glReadPixels(GLint x, GLint y, GLsizei w, GLsizei h, GLenum format, GLenum type, void *pixels) {
    FuzzHost_Check(x == 0 && y == 0 && w == Game.width && h == Game.height, "framebuffer read is not the whole frame");
    FuzzHost_Check(format == GL_RGB && type == GL_UNSIGNED_BYTE, "framebuffer read is not RGB bytes");
    FuzzHost_Check(fuzzHost.packAlignment == 1, "framebuffer read without pack alignment 1");
    FuzzHost_Check(w > 0 && h > 0, "framebuffer read of an empty frame");
    memset(pixels, fuzzHost.pixelReads & 0xff, (size_t)w * (size_t)h * 3);
    fuzzHost.pixelReads++;
}
}

FuzzHost fuzzHost;

static Vec2 FuzzHost_Orientation(void) { return Vec2{0.25f, -0.5f}; }
static Vec3 FuzzHost_Position(float t) { return Vec3{t, 1.0f, 2.0f}; }

void FuzzHost_Reset(int32_t width, int32_t height) {
    memset(&Game, 0, sizeof Game);
    memset(&Camera, 0, sizeof Camera);
    memset(&Entities, 0, sizeof Entities);
    memset(&WindowInfo, 0, sizeof WindowInfo);
    memset(&WindowEvents, 0, sizeof WindowEvents);
    memset(&fuzzHost, 0, sizeof fuzzHost);
    Game.width = width;
    Game.height = height;
    WindowInfo.exists = 1;
    fuzzHost.hostCamera.flag = 1;
    fuzzHost.hostCamera.GetOrientation = FuzzHost_Orientation;
    fuzzHost.hostCamera.GetPosition = FuzzHost_Position;
    fuzzHost.otherCamera = fuzzHost.hostCamera;
    fuzzHost.otherCamera.flag = 2;
    Camera.active = &fuzzHost.hostCamera;
    Entities.cameraEntity = &fuzzHost.entity;
}

void FuzzHost_Check(bool cond, const char *what) {
    if (cond) return;
    fprintf(stderr, "fuzz host: invariant broken: %s\n", what);
    abort();
}

// ---- clock

static bool clockOn;
static int64_t clockNs;

void FuzzClock_On(int64_t startNs) {
    clockOn = true;
    clockNs = startNs;
}

void FuzzClock_Advance(int64_t ns) { clockNs += ns; }

void FuzzClock_Off(void) { clockOn = false; }

extern "C" int clock_gettime(clockid_t id, struct timespec *ts) {
    if (clockOn && id == CLOCK_MONOTONIC) {
        ts->tv_sec = (time_t)(clockNs / 1000000000);
        ts->tv_nsec = (long)(clockNs % 1000000000);
        return 0;
    }
    return (int)syscall(SYS_clock_gettime, id, ts);
}

// ---- log catcher

static int logRead = -1;
static bool logEcho;
static constexpr int kKept = 64;
static char kept[kKept][1024];
static int keptCount;

void LogCatch_Start(void) {
    if (logRead >= 0) return;
    int fds[2];
    // O_DIRECT: packet mode, every write() is read back as one record.
    FuzzHost_Check(pipe2(fds, O_DIRECT | O_CLOEXEC) == 0, "can't make a packet pipe");
    // Room for many records between drains (each takes one page).
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    FuzzHost_Check(dup2(fds[1], 1) == 1, "can't redirect descriptor 1");
    close(fds[1]);
    logRead = fds[0];
    // FLYRATE_FUZZ_ECHO=1 copies every record to stderr, to follow one input.
    const char *echo = getenv("FLYRATE_FUZZ_ECHO");
    logEcho = echo && echo[0] == '1';
}

static void LogCatch_CheckRecord(const char *p, size_t n) {
    FuzzHost_Check(n >= 10, "log record shorter than its prefix");
    FuzzHost_Check(n <= 1023, "log record longer than 1023 bytes");
    FuzzHost_Check(memcmp(p, "flyrate: ", 9) == 0, "log record does not start with \"flyrate: \"");
    FuzzHost_Check(memchr(p, '\0', n) == nullptr, "log record holds a NUL byte");
    FuzzHost_Check(p[n - 1] == '\n', "log record does not end in a newline");
    const char *inner = (const char *)memchr(p, '\n', n - 1);
    if (inner) {
        // The parse error quotes the script line with its own terminator.
        FuzzHost_Check(inner == p + n - 2, "log record holds a newline inside");
        FuzzHost_Check(memmem(p, n, ": can't parse: ", 15) != nullptr, "log record ends in two newlines");
    }
}

int LogCatch_Drain(void) {
    int count = 0;
    char buf[4096];
    for (;;) {
        ssize_t n = read(logRead, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (logEcho) fwrite(buf, 1, (size_t)n, stderr);
        LogCatch_CheckRecord(buf, (size_t)n);
        if (keptCount < kKept) {
            memcpy(kept[keptCount], buf, (size_t)n);
            kept[keptCount][n] = '\0';
        }
        keptCount++;
        count++;
    }
    return count;
}

const char *LogCatch_Record(int n) { return n >= 0 && n < keptCount && n < kKept ? kept[n] : nullptr; }

int LogCatch_Count(void) { return keptCount; }

void LogCatch_Clear(void) { keptCount = 0; }
