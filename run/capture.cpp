// capture.cpp: saving the framebuffer as a numbered PPM screenshot.
//
// Called from the Draw2D hook while the game's OpenGL context is current,
// with the frame's scene already drawn. The GL entry points are the game's:
// they are resolved from the game's process when the library is loaded, so
// flyrate.so itself does not link an OpenGL library, and it uses only calls
// every OpenGL library exports (1.0's).
#include <GL/gl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plugin/bench.h"
#include "plugin/host.h"
#include "run/run.h"

// Reverses the order of the h rows of rowBytes bytes each, in place.
static void Capture_FlipRows(unsigned char *pixels, size_t rowBytes, int32_t h) {
    unsigned char chunk[4096];
    for (int32_t top = 0, bottom = h - 1; top < bottom; top++, bottom--) {
        unsigned char *a = pixels + (size_t)top * rowBytes;
        unsigned char *b = pixels + (size_t)bottom * rowBytes;
        for (size_t done = 0; done < rowBytes; done += sizeof chunk) {
            size_t n = rowBytes - done < sizeof chunk ? rowBytes - done : sizeof chunk;
            memcpy(chunk, a + done, n);
            memcpy(a + done, b + done, n);
            memcpy(b + done, chunk, n);
        }
    }
}

void Capture_Frame(int32_t frame) {
    int32_t w = Game.width;
    int32_t h = Game.height;
    if (w <= 0 || h <= 0) return;
    // Two positive int32 factors times 3 fit a 64-bit size_t.
    static_assert(sizeof(size_t) >= 8, "pixel buffer size needs 64 bits");
    size_t rowBytes = (size_t)w * 3;
    unsigned char *pixels = (unsigned char *)malloc(rowBytes * (size_t)h);
    if (!pixels) return;

    // A cut name would send this and every later screenshot to the same
    // wrong file, so a name that does not fit is not used at all.
    char name[1024];
    if ((size_t)snprintf(name, sizeof name, "%s/frame-%05d.ppm", bench.shotsDir, frame) >= sizeof name) {  // or -1
        Bench_Log("flyrate: warning: can't write %s", name);
        free(pixels);
        return;
    }

    // Rows packed tightly, read before the file is opened, while the frame
    // is still in the framebuffer. The game's own alignment is put back:
    // its later read-backs must find what it set.
    GLint alignment = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &alignment);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, pixels);
    glPixelStorei(GL_PACK_ALIGNMENT, alignment);

    FILE *f = fopen(name, "wb");
    if (!f) {
        Bench_Log("flyrate: warning: can't write %s", name);
        free(pixels);
        return;
    }
    // GL's row 0 is the bottom of the picture; PPM starts at the top. The
    // rows are put in that order in place and go out in one fwrite: written
    // row by row, each row would pass through stdio's small buffer and a
    // 1080p picture would reach the kernel in over a thousand writes.
    // A short write (a full disk, say) leaves no truncated picture behind.
    Capture_FlipRows(pixels, rowBytes, h);
    fprintf(f, "P6\n%d %d\n255\n", w, h);
    fwrite(pixels, 1, rowBytes * (size_t)h, f);
    bool failed = ferror(f);  // set by any failed write; the close writes the rest
    if (fclose(f) != 0 || failed) {
        Bench_Log("flyrate: warning: can't write %s", name);
        remove(name);
    }
    free(pixels);
}
