// swap.cpp: the end of a frame as a game's swap chain has it, and the
// stand-in's made-up costs per frame.
//
// A game's buffer swap does not wait for the frame it ends: the driver lets
// the CPU run a frame or two ahead of the GPU and blocks only when more
// frames would be queued. Swap_EndFrame does the same with a fence per
// frame, waiting on the one from two frames back, so at most two frames are
// in flight and a frame's GPU work can overlap the next frame's CPU work.
// Swap_CpuLoad stands in for game logic that costs CPU time on the render
// thread; the GPU load (extra layers of fragments) is drawn by render.cpp.
#include <time.h>

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include "standin/standin.h"

// Fences of the last two frames; [n % 2] is the one from two frames back.
static GLsync swapFences[2];
static long swapFrames;

void Swap_EndFrame(void) {
    GLsync fence = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    glFlush();  // the frame goes to the GPU now, as a swap sends it
    GLsync &old = swapFences[swapFrames % 2];
    if (old) {
        glClientWaitSync(old, GL_SYNC_FLUSH_COMMANDS_BIT, GL_TIMEOUT_IGNORED);
        glDeleteSync(old);
    }
    old = fence;
    swapFrames++;
}

void Swap_Finish(void) {
    glFinish();
    for (GLsync &fence : swapFences) {
        if (fence) glDeleteSync(fence);
        fence = nullptr;
    }
}

void Swap_CpuLoad(double ms) {
    if (ms <= 0) return;
    double until = Timing_Now() + ms / 1000.0;
    while (Timing_Now() < until) {
    }
}
