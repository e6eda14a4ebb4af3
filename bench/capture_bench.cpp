// capture_bench.cpp: saving a 1920x1080 screenshot through real OpenGL.
//
// Capture_Frame reads the framebuffer and writes a PPM. Its floor is the
// same read, glReadPixels of the whole framebuffer, plus one fwrite of the
// same bytes into a file in the same directory. Both run in one headless
// context (llvmpipe where there is no GPU) with a cleared framebuffer.
#include <GL/gl.h>
#include <stdio.h>
#include <stdlib.h>

#include "bench/suite.h"
#include "plugin/bench.h"
#include "run/run.h"

constexpr int kWidth = kSuiteWidth;
constexpr int kHeight = kSuiteHeight;

static void CaptureBench_ReadPixelsWrite(benchmark::State &state) {
    if (!Suite_GlContext(state) || Suite_ScratchDir().empty()) return;
    std::string name = Suite_ScratchDir() + "/baseline.ppm";
    std::vector<unsigned char> pixels((size_t)kWidth * kHeight * 3);
    for (auto _ : state) {
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, kWidth, kHeight, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
        FILE *f = fopen(name.c_str(), "wb");
        if (!f) {
            state.SkipWithError("can't write the baseline file");
            break;
        }
        fwrite(pixels.data(), 1, pixels.size(), f);
        fclose(f);
    }
}

static void CaptureBench_CaptureFrame(benchmark::State &state) {
    if (!Suite_GlContext(state) || Suite_ScratchDir().empty()) return;
    FakeGame_Reset();
    Game.width = kWidth;
    Game.height = kHeight;
    bench.shotsDir = Suite_ScratchDir().c_str();
    for (auto _ : state) Capture_Frame(1);

    std::string name = Suite_ScratchDir() + "/frame-00001.ppm";
    FILE *f = fopen(name.c_str(), "rb");
    long size = -1;
    if (f && fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (f) fclose(f);
    if (size < (long)kWidth * kHeight * 3) state.SkipWithError("Capture_Frame wrote no full picture");
    FakeGame_Reset();
}

void CaptureBench_Register(void) {
    // Wall time: llvmpipe does part of each read in its own threads, which
    // the benchmark thread's CPU time would leave out.
    benchmark::RegisterBenchmark("Capture/glReadPixels_fwrite", CaptureBench_ReadPixelsWrite)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Capture/Capture_Frame", CaptureBench_CaptureFrame)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}
