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

// Saves the framebuffer as <shotsDir>/frame-NNNNN.ppm.
void Capture_Frame(int32_t frame);
