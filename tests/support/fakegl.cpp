// fakegl.cpp: the OpenGL calls of a capture, answered without a GPU. A read
// with rows padded to the pack alignment is clipped to w*h*3 bytes, so a
// capture that leaves the alignment at 4 gets shifted rows, not a corrupted
// heap.
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
