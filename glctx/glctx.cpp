// glctx.cpp: headless EGL context with an offscreen framebuffer object.
//
// Surfaceless EGL has no default framebuffer, so everything renders into an
// FBO that stays bound for the context's lifetime; glReadPixels from (0, 0)
// then reads that FBO exactly as it would read a window's back buffer.
#include "glctx/glctx.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

struct GlContext {
    EGLDisplay display;
    EGLContext context;
    GLuint fbo, color, depth;
};

static void GlContext_Fail(char *err, int errSize, const char *what) {
    if (err && errSize > 0) snprintf(err, (size_t)errSize, "%s (EGL error 0x%x)", what, (unsigned)eglGetError());
}

static EGLDisplay GlContext_OpenDisplay(void) {
    // Prefer the surfaceless platform: it needs neither a display server
    // nor a DRM device. Fall back to the default display where a driver
    // does not offer it.
    auto getPlatformDisplay = (PFNEGLGETPLATFORMDISPLAYEXTPROC)eglGetProcAddress("eglGetPlatformDisplayEXT");
    const char *exts = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (getPlatformDisplay && exts && strstr(exts, "EGL_MESA_platform_surfaceless")) {
        EGLDisplay d = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (d != EGL_NO_DISPLAY) return d;
    }
    return eglGetDisplay(EGL_DEFAULT_DISPLAY);
}

// Mesa's drivers keep a few allocations for the life of the process and drop
// the pointers when EGL unloads them at shutdown, which LeakSanitizer then
// reports as leaks of the program's. Keeping the driver loaded until exit,
// as a game does, leaves those allocations reachable.
static int GlContext_PinDriver(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    (void)data;
    const char *name = info->dlpi_name;
    if (name && (strstr(name, "_dri.so") || strstr(name, "libgallium"))) {
        dlopen(name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
    return 0;
}

GlContext *GlContext_Create(int width, int height, char *err, int errSize) {
    if (width <= 0 || height <= 0) {
        GlContext_Fail(err, errSize, "framebuffer size must be positive");
        return nullptr;
    }
    EGLDisplay display = GlContext_OpenDisplay();
    EGLint major = 0, minor = 0;
    if (display == EGL_NO_DISPLAY || !eglInitialize(display, &major, &minor)) {
        GlContext_Fail(err, errSize, "can't initialise an EGL display");
        return nullptr;
    }
    if (!eglBindAPI(EGL_OPENGL_API)) {
        GlContext_Fail(err, errSize, "EGL has no desktop OpenGL");
        eglTerminate(display);
        return nullptr;
    }
    const EGLint configAttribs[] = {EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
    EGLConfig config = nullptr;
    EGLint configCount = 0;
    // Surfaceless contexts may be created without a config; use one when
    // the driver offers it so the context matches an ordinary window's.
    eglChooseConfig(display, configAttribs, &config, 1, &configCount);
    const EGLint contextAttribs[] = {EGL_CONTEXT_MAJOR_VERSION, 2, EGL_CONTEXT_MINOR_VERSION, 1, EGL_NONE};
    EGLContext context = eglCreateContext(display, configCount > 0 ? config : EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, contextAttribs);
    if (context == EGL_NO_CONTEXT) {
        GlContext_Fail(err, errSize, "can't create an OpenGL context");
        eglTerminate(display);
        return nullptr;
    }
    if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
        GlContext_Fail(err, errSize, "can't make the OpenGL context current");
        eglDestroyContext(display, context);
        eglTerminate(display);
        return nullptr;
    }

    dl_iterate_phdr(GlContext_PinDriver, nullptr);

    GlContext *ctx = (GlContext *)calloc(1, sizeof(GlContext));
    if (!ctx) {
        GlContext_Fail(err, errSize, "out of memory");
        eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        eglDestroyContext(display, context);
        eglTerminate(display);
        return nullptr;
    }
    ctx->display = display;
    ctx->context = context;

    glGenFramebuffers(1, &ctx->fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, ctx->fbo);
    glGenRenderbuffers(1, &ctx->color);
    glBindRenderbuffer(GL_RENDERBUFFER, ctx->color);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, ctx->color);
    glGenRenderbuffers(1, &ctx->depth);
    glBindRenderbuffer(GL_RENDERBUFFER, ctx->depth);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, width, height);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, ctx->depth);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
        GlContext_Fail(err, errSize, "offscreen framebuffer is incomplete");
        GlContext_Destroy(ctx);
        return nullptr;
    }
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    glViewport(0, 0, width, height);
    return ctx;
}

const char *GlContext_Renderer(GlContext *ctx) {
    (void)ctx;
    const GLubyte *s = glGetString(GL_RENDERER);
    return s ? (const char *)s : "unknown";
}

void GlContext_Destroy(GlContext *ctx) {
    if (!ctx) return;
    if (ctx->fbo) glDeleteFramebuffers(1, &ctx->fbo);
    if (ctx->color) glDeleteRenderbuffers(1, &ctx->color);
    if (ctx->depth) glDeleteRenderbuffers(1, &ctx->depth);
    eglMakeCurrent(ctx->display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(ctx->display, ctx->context);
    eglTerminate(ctx->display);
    free(ctx);
}
