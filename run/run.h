// run.h: the timed run: controller entry points, per-pass report, capture.
#pragma once

#include <stdint.h>

// Component map-loaded slot: starts the warm-up when Armed.
void Bench_OnMapLoaded(void);
// Draw2D hook: warm-up decision, frame timing, passes, finish.
void Bench_OnDraw2D(double delta);

// Prints the per-second line and the summary of the pass just completed.
void Report_Pass(void);

// Writes the pass's frame times to the FLYRATE_CSV file, if one is set.
void Report_WriteCsv(void);

// GPU times (gpu.cpp), each doing nothing unless FLYRATE_GPU=1 got them going.
// Init allocates the tables (0 and a warning when it can't); Setup looks at
// the current context in the first warm-up frame, once Init has succeeded
// (0 and a warning without timer queries); StartPass empties the tables
// and marks the pass's start; Mark issues the query of a hook point (frame 0: a start to measure the
// next frame from) after reading the results that are ready; Drain waits
// for the rest at a pass's end; Release gives the queries back.
int Gpu_Init(void);
int Gpu_Setup(void);
void Gpu_StartPass(void);
void Gpu_Mark(int32_t frame);
void Gpu_Drain(void);
void Gpu_Release(void);

// Saves the framebuffer as <shotsDir>/frame-NNNNN.ppm.
void Capture_Frame(int32_t frame);
