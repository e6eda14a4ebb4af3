// STUB: replaced by the keyframe script loader.
#include "path/path.h"
int Keyframes_Load(const char *path) { (void)path; return 0; }
