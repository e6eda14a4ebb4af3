// fly.cpp: the stand-in's own camera following a keyframe script (--fly).
//
// The same format the plug-in reads (comments, blank and warmup lines
// skipped), one script frame per rendered frame from the first frame on,
// the last pose held after the last keyframe. Poses are interpolated as the
// plug-in does, in degrees with one float fused multiply-add per component,
// and turned into radians the same way, so a flight flown here and the same
// script replayed by the plug-in render identical frames.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "standin/standin.h"

struct FlyKey {
    int frame;
    float v[5];  // x, y, z, yaw, pitch (degrees)
};
static std::vector<FlyKey> flight;

int Fly_Load(const char *path) {
    FILE *f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, "standin: can't open %s\n", path);
        return 0;
    }
    char line[512];
    for (int lineNo = 1; fgets(line, sizeof line, f); lineNo++) {
        const char *p = line + strspn(line, " \t");
        if (!*p || *p == '\n' || *p == '\r' || *p == '#' || !strncmp(p, "warmup", 6)) continue;
        FlyKey k;
        if (sscanf(p, "%d %f %f %f %f %f", &k.frame, &k.v[0], &k.v[1], &k.v[2], &k.v[3], &k.v[4]) != 6 ||
            (flight.empty() ? k.frame != 0 : k.frame <= flight.back().frame)) {
            fprintf(stderr, "standin: %s:%d: not a keyframe in order\n", path, lineNo);
            fclose(f);
            return 0;
        }
        flight.push_back(k);
    }
    fclose(f);
    if (flight.size() < 2) fprintf(stderr, "standin: %s: needs at least two keyframes\n", path);
    return flight.size() >= 2;
}

Pose Fly_Pose(int frame) {
    size_t end = 1;
    while (end + 1 < flight.size() && flight[end].frame <= frame) end++;
    const FlyKey &a = flight[end - 1], &b = flight[end];
    int t = frame < 0 ? 0 : frame > b.frame ? b.frame : frame;
    float u = (float)(t - a.frame) / (float)(b.frame - a.frame), v[5];
    for (int i = 0; i < 5; i++) v[i] = fmaf(b.v[i] - a.v[i], u, a.v[i]);
    if (t >= b.frame) memcpy(v, b.v, sizeof v);
    return Pose{v[0], v[1], v[2], (float)(v[3] * 0.017453292519943295), (float)(v[4] * 0.017453292519943295)};
}
