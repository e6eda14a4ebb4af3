// fly.cpp: the stand-in's own camera following a keyframe script (--fly).
//
// The same format the plug-in reads, by the same rule line for line (the
// warmup line checked and skipped), one script frame per rendered frame from the first frame on,
// the last pose held after the last keyframe. Poses are interpolated as the
// plug-in does, in degrees with one float fused multiply-add per component,
// and turned into radians the same way, so a flight flown here and the same
// script replayed by the plug-in render identical frames.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "standin/standin.h"

std::vector<FlyKey> flyKeys;

// The plug-in's test that a parsed value is usable: v * 0 is 0 only for a
// finite v.
static bool Fly_Finite(const double *v, int n) {
    double sum = 0;
    for (int i = 0; i < n; i++) sum += v[i] * 0;
    return sum == 0;
}

// One line of the script, as the plug-in reads it: 1 when it was used or
// skipped (a warmup line must still hold three finite numbers, or the
// plug-in refuses the script), 0 when it is refused.
static int Fly_Line(const char *p, std::vector<FlyKey> *keys) {
    p += strspn(p, " \t");
    if (!*p || *p == '\n' || *p == '\r' || *p == '#') return 1;
    double v[5];
    if (!strncmp(p, "warmup", 6)) return sscanf(p + 6, "%lf %lf %lf", &v[0], &v[1], &v[2]) == 3 && Fly_Finite(v, 3);
    long frame;
    FlyKey k;
    if (sscanf(p, "%ld %f %f %f %f %f", &frame, &k.v[0], &k.v[1], &k.v[2], &k.v[3], &k.v[4]) != 6 ||
        frame < INT32_MIN || frame > INT32_MAX)
        return 0;
    for (int i = 0; i < 5; i++) v[i] = k.v[i];
    k.frame = (int)frame;
    if (!Fly_Finite(v, 5)) return 0;
    keys->push_back(k);
    return 1;
}

int Fly_Load(const char *path) {
    flyKeys.clear();
    FILE *f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, "standin: can't open %s\n", path);
        return 0;
    }
    // Read in the plug-in's 512-byte pieces, each counted as a line.
    char line[512];
    for (int lineNo = 1; fgets(line, sizeof line, f); lineNo++) {
        size_t had = flyKeys.size();
        if (!Fly_Line(line, &flyKeys)) {
            fprintf(stderr, "standin: %s:%d: can't parse: %s%s", path, lineNo, line, strchr(line, '\n') ? "" : "\n");
        } else if (flyKeys.size() == had || (had == 0 ? flyKeys[0].frame == 0 : flyKeys[had].frame > flyKeys[had - 1].frame)) {
            continue;
        } else {
            fprintf(stderr, "standin: %s:%d: frames must start at 0 and ascend\n", path, lineNo);
        }
        fclose(f);
        flyKeys.clear();
        return 0;
    }
    fclose(f);
    if (flyKeys.size() >= 2) return 1;
    fprintf(stderr, "standin: %s: needs at least two keyframes\n", path);
    flyKeys.clear();
    return 0;
}

Pose Fly_Pose(int frame) {
    size_t end = 1;
    while (end + 1 < flyKeys.size() && flyKeys[end].frame <= frame) end++;
    const FlyKey &a = flyKeys[end - 1], &b = flyKeys[end];
    int t = frame < 0 ? 0 : frame > b.frame ? b.frame : frame;
    float u = (float)(t - a.frame) / (float)(b.frame - a.frame), v[5];
    for (int i = 0; i < 5; i++) v[i] = fmaf(b.v[i] - a.v[i], u, a.v[i]);
    if (t >= b.frame) memcpy(v, b.v, sizeof v);
    return Pose{v[0], v[1], v[2], (float)(v[3] * 0.017453292519943295), (float)(v[4] * 0.017453292519943295)};
}
