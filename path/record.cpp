// record.cpp: recording a flight by playing it (FLYRATE_RECORD).
//
// From the first map load on, every rendered frame's pose of the game's
// active camera is kept, as the Draw2D hook finds it after the frame was
// drawn: the position the camera gives for the end of the current tick, and
// the orientation turned back into degrees as a script holds them, each
// angle unwrapped so that a turn through 360 degrees replays as that turn.
// When the game shuts down the samples become a script with keyframes only
// where needed: each keyframe as far along as the straight line from the
// one before still passes, sampled exactly as a replay samples it, within
// kPositionTolerance blocks and kAngleTolerance degrees of every frame's
// pose. The script goes to a scratch file beside FILE and is renamed over it
// only when whole.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "path/path.h"
#include "plugin/bench.h"
#include "plugin/host.h"

static constexpr float kPositionTolerance = 0.01f;  // blocks
static constexpr float kAngleTolerance = 0.05f;     // degrees
static constexpr int32_t kFirstSamples = 4096;

// The angle in degrees nearest the previous sample's by whole turns; the
// game's own value when no turn is added, so a replay gives it back exactly.
static float Record_Degrees(float radians, float previous) {
    float degrees = (float)((double)radians / kRadiansPerDegree);
    double turns = nearbyint(((double)previous - degrees) / 360.0);
    return turns == 0 ? degrees : (float)(degrees + turns * 360.0);
}

void Record_Frame(void) {
    HostCamera *camera = Camera.active;
    int32_t n = bench.sampleCount;
    if (!camera || bench.recordFull) return;
    if (n == bench.sampleCapacity) {
        // Doubling stops short of the int32 count: 2^30 samples (a week at
        // 1700 fps, 25 GB) count as memory running out. Not testable.
        int32_t next = n == 0 ? kFirstSamples : n <= INT32_MAX / 2 ? n * 2 : 0;  // GCOVR_EXCL_BR_LINE
        Keyframe *grown = next ? (Keyframe *)realloc(bench.samples, (size_t)next * sizeof(Keyframe)) : nullptr;  // GCOVR_EXCL_BR_LINE
        if (!grown) {
            Bench_Log("flyrate: warning: out of memory after %d frames: the recording stops there", n);
            bench.recordFull = true;  // what was taken is kept
            return;
        }
        bench.samples = grown;
        bench.sampleCapacity = next;
    }
    Vec2 o = camera->GetOrientation();
    Vec3 p = camera->GetPosition(1.0f);
    // A pose that is not numbers can't be replayed: such a frame is skipped.
    if ((o.x * 0 + o.y * 0 + p.x * 0 + p.y * 0 + p.z * 0) != 0) return;
    Keyframe k = {n, p.x, p.y, p.z, (float)((double)o.x / kRadiansPerDegree), (float)((double)o.y / kRadiansPerDegree)};
    if (n > 0) {
        k.orientX = Record_Degrees(o.x, bench.samples[n - 1].orientX);
        k.orientY = Record_Degrees(o.y, bench.samples[n - 1].orientY);
    }
    bench.samples[n] = k;
    bench.sampleCount = n + 1;
}

// Whether the line from sample i to sample j replays every sample between
// them within the tolerance.
static bool Record_Fits(const Keyframe *s, int32_t i, int32_t j) {
    for (int32_t m = i + 1; m < j; m++) {
        Keyframe p = Path_Interpolate(s[i], s[j], m);
        float position = fmaxf(fabsf(p.x - s[m].x), fmaxf(fabsf(p.y - s[m].y), fabsf(p.z - s[m].z)));
        float angle = fmaxf(fabsf(p.orientX - s[m].orientX), fabsf(p.orientY - s[m].orientY));
        if (position > kPositionTolerance || angle > kAngleTolerance) return false;
    }
    return true;
}

// The farthest sample the line from sample i can reach and still fit:
// steps doubling while it fits, then halving between the last fit and the
// first miss.
static int32_t Record_Farthest(const Keyframe *s, int32_t n, int32_t i) {
    int32_t fits = i + 1, misses = n;  // n: past the end
    for (int64_t step = 2; fits < n - 1; step *= 2) {
        int32_t j = i + step < n - 1 ? (int32_t)(i + step) : n - 1;
        if (!Record_Fits(s, i, j)) {
            misses = j;
            break;
        }
        fits = j;
    }
    while (misses - fits > 1) {
        int32_t mid = fits + (misses - fits) / 2;
        if (Record_Fits(s, i, mid)) fits = mid;
        else misses = mid;
    }
    return fits;
}

// Writes the script to a scratch file beside path and renames it over
// path. Returns 0, with nothing left behind, when any of it fails.
static int Record_Save(const char *path, const Keyframe *keys, int32_t count, int32_t frames) {
    char temp[1024];
    if ((size_t)snprintf(temp, sizeof temp, "%s.XXXXXX", path) >= sizeof temp) return 0;  // or failed: -1
    int fd = mkstemp(temp);
    if (fd < 0) return 0;
    mode_t mask = umask(0);  // the file gets the mode a new file would
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE *f = fdopen(fd, "w");
    if (!f) {
        close(fd);
        unlink(temp);
        return 0;
    }
    const BenchState defaults;
    fprintf(f, "# flyrate recording: %d frames as %d keyframes, within %g blocks and %g degrees of each\n", frames,
            count, (double)kPositionTolerance, (double)kAngleTolerance);
    fprintf(f, "warmup %g %g %g\n", defaults.warmupMin, defaults.warmupQuiet, defaults.warmupMax);
    // Nine significant digits read back to the same float.
    for (int32_t i = 0; i < count; i++) {
        const Keyframe &k = keys[i];
        fprintf(f, "%d %.9g %.9g %.9g %.9g %.9g\n", k.frame, (double)k.x, (double)k.y, (double)k.z,
                (double)k.orientX, (double)k.orientY);
    }
    // Any failed write leaves the stream's error set; the close writes the rest.
    bool failed = ferror(f);
    if (fclose(f) != 0 || failed || rename(temp, path) != 0) {
        unlink(temp);
        return 0;
    }
    return 1;
}

void Record_Write(void) {
    int32_t n = bench.sampleCount;
    if (n < 2) {
        Bench_Log("flyrate: warning: %d frames recorded, a script needs two: %s not written", n, bench.recordPath);
        return;
    }
    // The chosen keyframes move to the front of the samples, in order.
    Keyframe *s = bench.samples;
    int32_t count = 1;
    for (int32_t i = 0; i < n - 1; count++) {
        i = Record_Farthest(s, n, i);
        s[count] = s[i];
    }
    if (!Record_Save(bench.recordPath, s, count, n)) {
        Bench_Log("flyrate: warning: can't write %s", bench.recordPath);
        return;
    }
    Bench_Log("flyrate: recorded %d frames as %d keyframes to %s", n, count, bench.recordPath);
}
