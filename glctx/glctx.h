// glctx.h: a headless OpenGL context for programs that are not the game.
//
// The stand-in host, the capture tests and the capture benchmark all need a
// real OpenGL context with a framebuffer of a chosen size and no window. This
// makes one with EGL (Mesa's surfaceless platform on machines without a GPU,
// the GPU's driver where there is one) and binds a colour+depth framebuffer
// object of the requested size, so glReadPixels reads from real GL. The GL
// driver stays loaded until the process exits, as in a game.
#pragma once

struct GlContext;

// Creates the context, makes it current on this thread and binds a
// width x height framebuffer. Returns null and writes the reason into err
// (if given) when no context can be made.
GlContext *GlContext_Create(int width, int height, char *err, int errSize);

// Human-readable renderer string of the current context ("llvmpipe ...").
const char *GlContext_Renderer(GlContext *ctx);

void GlContext_Destroy(GlContext *ctx);
