// STUB: replaced by frame capture.
#include "run/run.h"
void Capture_Frame(int32_t frame) { (void)frame; }
