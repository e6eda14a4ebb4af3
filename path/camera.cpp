// STUB: replaced by the scripted camera.
#include "path/path.h"
void BenchCamera_Ensure(void) {}
Vec2 BenchCamera_GetOrientation(void) { return Vec2{0, 0}; }
Vec3 BenchCamera_GetPosition(float t) { (void)t; return Vec3{0, 0, 0}; }
