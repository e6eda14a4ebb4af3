// STUB: replaced by the run controller.
#include "run/run.h"
void Bench_OnMapLoaded(void) {}
void Bench_OnDraw2D(double delta) { (void)delta; }
