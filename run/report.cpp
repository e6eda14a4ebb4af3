// STUB: replaced by the frame-time report.
#include "run/run.h"
void Report_Pass(void) {}
