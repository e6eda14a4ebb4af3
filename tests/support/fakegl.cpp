// fakegl.cpp: the OpenGL calls of a capture and of GPU timing, answered
// without a GPU. A read
// with rows padded to the pack alignment is clipped to w*h*3 bytes, so a
// capture that leaves the alignment at 4 gets shifted rows, not a corrupted
// heap.
#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>
#include <string.h>

#include "tests/support/fakegame.h"

static const FakeGl kFresh = {4, 0, 0, 0, 64, false, nullptr, false, false, 0, 0, 0, 0, 0};
FakeGl fakeGl = kFresh;
unsigned char FakeGl_Pixel(int x, int y, int channel) { return (unsigned char)((x * 7 + y * 29 + channel * 101) % 251); }

extern "C" void glPixelStorei(GLenum name, GLint value) {
    if (name == GL_PACK_ALIGNMENT) fakeGl.packAlignment = value;
}
extern "C" void glGetIntegerv(GLenum name, GLint *value) {
    if (name == GL_PACK_ALIGNMENT) *value = fakeGl.packAlignment;
    if (name == GL_NUM_EXTENSIONS) *value = fakeGl.listsDisjoint ? 2 : 1;
    if (name == 0x8FBB) *value = fakeGl.disjoint, fakeGl.disjoint = false;  // GL_GPU_DISJOINT_EXT
}

// Query objects 1..64: the issue number of each one's last timestamp and its result.
static struct {
    int issue;
    uint64_t result;
} queries[65];

void FakeGl_Reset(void) {
    fakeGl = kFresh;
    memset(queries, 0, sizeof queries);
}

static void GenQueries(GLsizei n, GLuint *ids) {
    for (GLsizei i = 0; i < n; i++) ids[i] = (GLuint)(i + 1);
    fakeGl.live += n;
}
static void DeleteQueries(GLsizei n, const GLuint *) { fakeGl.live -= n; }
static void GetQueryiv(GLenum target, GLenum name, GLint *value) {
    if (target == GL_TIMESTAMP && name == GL_QUERY_COUNTER_BITS) *value = fakeGl.counterBits;
}
static void GetInteger64v(GLenum name, GLint64 *value) {
    if (name == GL_TIMESTAMP) *value = FakeClock_Ns();
}
static void QueryCounter(GLuint id, GLenum) {
    queries[id].issue = ++fakeGl.issued;
    queries[id].result = (uint64_t)(FakeClock_Ns() + fakeGl.lagNs);
}
static bool Available(GLuint id) { return fakeGl.issued - queries[id].issue >= fakeGl.latency; }
static void GetQueryObjectiv(GLuint id, GLenum name, GLint *value) {
    if (name == GL_QUERY_RESULT_AVAILABLE) *value = Available(id);
}
static void GetQueryObjectui64v(GLuint id, GLenum name, GLuint64 *value) {
    if (name != GL_QUERY_RESULT) return;
    fakeGl.waits += !Available(id);
    *value = queries[id].result;
}
static const GLubyte *GetStringi(GLenum, GLuint index) {
    return (const GLubyte *)(index == 1 ? "GL_EXT_disjoint_timer_query" : "GL_ARB_timer_query");
}

// What the plug-in finds in the process: EGL and GLX, and the current
// context belonging to one of them.
extern "C" void *eglGetCurrentContext(void) { return fakeGl.glx ? nullptr : &fakeGl; }
static void *FakeGl_ProcAddress(bool glx, const char *name) {
    if (glx != fakeGl.glx) return nullptr;  // the other API's entry points don't reach this context
    static const struct {
        const char *name;
        void *fn;
    } known[] = {{"glGenQueries", (void *)GenQueries}, {"glDeleteQueries", (void *)DeleteQueries},
                 {"glGetQueryiv", (void *)GetQueryiv}, {"glQueryCounter", (void *)QueryCounter},
                 {"glGetQueryObjectiv", (void *)GetQueryObjectiv}, {"glGetQueryObjectui64v", (void *)GetQueryObjectui64v},
                 {"glGetInteger64v", (void *)GetInteger64v}, {"glGetStringi", (void *)GetStringi}};
    for (const auto &k : known)
        if (!strcmp(k.name, name)) return fakeGl.missing && !strcmp(fakeGl.missing, name) ? nullptr : k.fn;
    return nullptr;
}
extern "C" void *eglGetProcAddress(const char *name) { return FakeGl_ProcAddress(false, name); }
extern "C" void *glXGetProcAddressARB(const char *name) { return FakeGl_ProcAddress(true, name); }
extern "C" void glReadPixels(GLint x, GLint y, GLsizei w, GLsizei h, GLenum format, GLenum type, void *pixels) {
    fakeGl.reads++;
    FakeClock_Advance((double)fakeGl.readNs / 1e9);
    if (x || y || w != Game.width || h != Game.height || format != GL_RGB || type != GL_UNSIGNED_BYTE) {
        fakeGl.wrongReads++;
        return;
    }
    size_t row = (size_t)w * 3, size = row * (size_t)h, align = (size_t)fakeGl.packAlignment;
    size_t stride = (row + align - 1) / align * align;
    memset(pixels, 0, size);
    for (size_t i = 0; i < size; i++) {
        size_t at = i / row * stride + i % row;
        if (at < size) ((unsigned char *)pixels)[at] = FakeGl_Pixel((int)(i % row / 3), (int)(i / row), (int)(i % 3));
    }
}
