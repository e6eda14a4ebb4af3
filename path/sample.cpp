// STUB: replaced by path interpolation.
#include "path/path.h"
Keyframe Path_Sample(int32_t t) { Keyframe k = {}; k.frame = t; return k; }
