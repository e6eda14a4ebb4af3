// fakegl.cpp: the OpenGL calls a capture makes, answered without a GPU.
//
// The read packs rows as GL does: each row starts at a multiple of the pack
// alignment, so a capture that leaves the alignment at 4 gets rows shifted
// by their padding (clipped to the w*h*3 bytes the plug-in allocates, so
// the fault shows as wrong bytes, not as a corrupted heap).
#include <GL/gl.h>
#include <string.h>

#include "tests/support/fakegame.h"

FakeGl fakeGl = {4, 0, 0};

void FakeGl_Reset(void) { fakeGl = FakeGl{4, 0, 0}; }

unsigned char FakeGl_Pixel(int x, int y, int channel) { return (unsigned char)((x * 7 + y * 29 + channel * 101) % 251); }

extern "C" void glPixelStorei(GLenum name, GLint value) {
    if (name == GL_PACK_ALIGNMENT) fakeGl.packAlignment = value;
}

extern "C" void glGetIntegerv(GLenum name, GLint *value) {
    if (name == GL_PACK_ALIGNMENT) *value = fakeGl.packAlignment;
}

extern "C" void glReadPixels(GLint x, GLint y, GLsizei w, GLsizei h, GLenum format, GLenum type, void *pixels) {
    fakeGl.reads++;
    if (x != 0 || y != 0 || w != Game.width || h != Game.height || format != GL_RGB || type != GL_UNSIGNED_BYTE) {
        fakeGl.wrongReads++;
        return;
    }
    size_t row = (size_t)w * 3, size = row * (size_t)h;
    size_t align = fakeGl.packAlignment > 0 ? (size_t)fakeGl.packAlignment : 1;
    size_t stride = (row + align - 1) / align * align;
    unsigned char *out = (unsigned char *)pixels;
    memset(out, 0, size);
    for (int r = 0; r < h; r++) {
        for (size_t i = 0; i < row && (size_t)r * stride + i < size; i++)
            out[(size_t)r * stride + i] = FakeGl_Pixel((int)(i / 3), r, (int)(i % 3));
    }
}
