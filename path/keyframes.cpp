// keyframes.cpp: reads the keyframe script named by FLYRATE.
//
// The script is read line by line with the C library's scanf formats, which
// define exactly which lines are accepted, into a new table grown by
// doubling. The state record takes it only when the whole script has been
// read and checked, so a failed load leaves the previous path untouched.
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "path/path.h"
#include "plugin/bench.h"

// The table's first allocation; after that it doubles whenever it is full.
static constexpr int32_t kFirstCapacity = 32;
// The most records a table may hold: the count is an int32, and the byte
// size must fit in size_t.
static constexpr int64_t kMaxRecords =
    (uint64_t)INT32_MAX < SIZE_MAX / sizeof(Keyframe) ? (int64_t)INT32_MAX : (int64_t)(SIZE_MAX / sizeof(Keyframe));

// The capacity after the next growth, or 0 when the table can't grow without
// overflowing the count or the byte size.
static constexpr int32_t Keyframes_NextCapacity(int32_t capacity) {
    if (capacity <= 0) return kFirstCapacity;
    // Only a table past 2^30 records (25 GB) gets here; the static_asserts
    // below check this limit, no test can reach it.
    if (capacity > kMaxRecords / 2) return 0;  // GCOVR_EXCL_BR_LINE
    return capacity * 2;
}
static_assert(Keyframes_NextCapacity(0) == 32 && Keyframes_NextCapacity(32) == 64, "first growth doubles");
static_assert(Keyframes_NextCapacity(INT32_MAX / 2) == INT32_MAX - 1, "largest doubling still fits an int32");
static_assert(Keyframes_NextCapacity(INT32_MAX / 2 + 1) == 0, "doubling past int32 refuses to grow");
static_assert(Keyframes_NextCapacity(INT32_MAX) == 0, "a full-size table refuses to grow");

// Grows bench.keyframes to the next capacity. Returns 0, with the table
// untouched, when it can't.
static int Keyframes_Grow(int32_t *capacity) {
    int32_t next = Keyframes_NextCapacity(*capacity);
    if (next == 0) return 0;  // GCOVR_EXCL_BR_LINE: past 2^30 records, see above
    Keyframe *table = (Keyframe *)realloc(bench.keyframes, (size_t)next * sizeof(Keyframe));
    if (!table) return 0;
    bench.keyframes = table;
    *capacity = next;
    return 1;
}

// Opens the script for reading, or returns null. Opening does not wait: a
// FIFO without a writer would otherwise hold the game at start-up for ever;
// opened at once it reads as empty. Reads then wait as usual, so a pipe that
// has a writer (a shell's process substitution) still works. Directories
// and devices are refused: reading them fails or never ends.
static FILE *Keyframes_Open(const char *path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st = {};  // a failed fstat leaves mode 0: refused
    fstat(fd, &st);
    FILE *file = nullptr;
    if (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) {
        // Should this fail, a FIFO's reads fail too and are reported.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        file = fdopen(fd, "r");
    }
    if (!file) close(fd);
    return file;
}

// v * 0 is 0 for a finite v and NaN for an infinite or NaN one, so the sum
// is 0 exactly when all are finite.
static bool Keyframes_Finite(double a, double b, double c, double d = 0, double e = 0) {
    return a * 0 + b * 0 + c * 0 + d * 0 + e * 0 == 0;
}

// Reads every line of the script into bench.keyframes, a table of its own
// that starts empty. Returns 0 after logging why (or, with no message, when
// the table can't grow).
static int Keyframes_Read(FILE *file, const char *path, int32_t *keyframeCount) {
    int32_t capacity = 0;
    int32_t count = 0;
    int32_t lineNo = 0;
    char line[512];

    // A line longer than the buffer arrives as several pieces; each piece is
    // handled and counted as a line of its own.
    while (fgets(line, sizeof line, file)) {
        if (lineNo < INT32_MAX) lineNo++;  // GCOVR_EXCL_BR_LINE: counting stops at 2^31 lines, not testable
        const char *p = line;
        while (*p == ' ' || *p == '\t') p++;
        if (*p == '\0' || *p == '\n' || *p == '\r' || *p == '#') continue;

        if (strncmp(p, "warmup", 6) == 0) {
            double minimum, quiet, maximum;
            // A non-finite number would keep the warm-up from ever ending.
            if (sscanf(p + 6, "%lf %lf %lf", &minimum, &quiet, &maximum) != 3 ||
                !Keyframes_Finite(minimum, quiet, maximum)) {
                Bench_Log("flyrate: error: %s:%d: can't parse: %s", path, lineNo, line);
                return 0;
            }
            bench.warmupMin = minimum;
            bench.warmupQuiet = quiet;
            bench.warmupMax = maximum;
            continue;
        }

        // The frame is read as a long, which accepts the same text as an
        // int would, so a number outside the int32 range is refused instead
        // of wrapping into some other frame. A pose must be finite numbers:
        // the game can't render from anything else.
        long frame;
        Keyframe k;
        if (sscanf(p, "%ld %f %f %f %f %f", &frame, &k.x, &k.y, &k.z, &k.orientX, &k.orientY) != 6 ||
            frame < INT32_MIN || frame > INT32_MAX || !Keyframes_Finite(k.x, k.y, k.z, k.orientX, k.orientY)) {
            Bench_Log("flyrate: error: %s:%d: can't parse: %s", path, lineNo, line);
            return 0;
        }
        k.frame = (int32_t)frame;

        if (count == 0 ? k.frame != 0 : k.frame <= bench.keyframes[count - 1].frame) {
            Bench_Log("flyrate: error: %s:%d: frames must start at 0 and ascend", path, lineNo);
            return 0;
        }
        if (count == capacity && !Keyframes_Grow(&capacity)) return 0;
        bench.keyframes[count++] = k;
    }
    // A read that failed is not the end of the script: what was read may be
    // only part of it.
    if (ferror(file)) {
        Bench_Log("flyrate: error: can't open %s", path);
        return 0;
    }
    if (count < 2) {
        Bench_Log("flyrate: error: %s: needs at least two keyframes", path);
        return 0;
    }
    *keyframeCount = count;
    return 1;
}

int Keyframes_Load(const char *path) {
    FILE *file = Keyframes_Open(path);
    if (!file) {
        Bench_Log("flyrate: error: can't open %s", path);
        return 0;
    }
    // The state record takes the new table only once the whole script has
    // been read and checked: a failed load leaves the path it had (none at
    // start-up) exactly as it was.
    Keyframe *kept = bench.keyframes;
    bench.keyframes = nullptr;
    int32_t count = 0;
    int ok = Keyframes_Read(file, path, &count);
    fclose(file);
    if (!ok) {
        free(bench.keyframes);
        bench.keyframes = kept;
        return 0;
    }
    free(kept);
    bench.poseValid = false;
    bench.keyframeCount = count;
    bench.totalFrames = bench.keyframes[count - 1].frame;
    return 1;
}
