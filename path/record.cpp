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
// pose.
//
// FILE is followed through symbolic links to the file it names (the
// target), so that the link stays. At start-up the scratch file
// TARGET.recording is created beside it: that it can be is the check that
// the script can be written, and the recording is refused when it can't.
// Every kSaveSeconds (and at the end) the samples taken since are appended
// to it, one keyframe per frame, so it is a script of the flight so far that
// a crash leaves behind; a start-up that finds it finishes it into FILE
// instead of recording. The script is written to TARGET.recording.new,
// synced, renamed over the target and its folder synced; only then is the
// scratch file removed. Files get the target's mode when it exists, and the
// mode a new file gets under the process's umask when not.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "path/path.h"
#include "plugin/bench.h"
#include "plugin/host.h"

static constexpr float kPositionTolerance = 0.01f;  // blocks
static constexpr float kAngleTolerance = 0.05f;     // degrees
static constexpr int32_t kFirstSamples = 4096;
static constexpr double kSaveSeconds = 2.0;  // between writes to the scratch file
static const char kScratchHeader[] = "# flyrate recording in progress: one keyframe per frame\nwarmup 2 1 30\n";
static constexpr int kMaxLinks = 40;  // links followed before giving up, as the kernel does

// The angle in degrees nearest the previous sample's by whole turns; the
// game's own value when no turn is added, so a replay gives it back exactly.
static float Record_Degrees(float radians, float previous) {
    float degrees = (float)((double)radians / kRadiansPerDegree);
    double turns = nearbyint(((double)previous - degrees) / 360.0);
    return turns == 0 ? degrees : (float)(degrees + turns * 360.0);
}

static void Record_Sample(void) {
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

// Writes all of text, however many write() calls that takes.
static int Record_WriteAll(int fd, const char *text, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) continue;  // GCOVR_EXCL_BR_LINE: a signal mid-write, not testable
        if (n <= 0) return 0;
        text += n;
        length -= (size_t)n;
    }
    return 1;
}

// Writes header, then one line per keyframe. Nine significant digits read
// back to the same float. Returns the bytes written, or -1 when a write
// fails.
static int64_t Record_PutKeys(int fd, const char *header, const Keyframe *keys, int32_t count) {
    char buf[16384];
    size_t used = (size_t)snprintf(buf, sizeof buf, "%s", header);  // headers are short
    int64_t written = 0;
    for (int32_t i = 0; i <= count; i++) {
        if (i == count || used > sizeof buf - 128) {  // a line is under 100 characters
            if (!Record_WriteAll(fd, buf, used)) return -1;
            written += (int64_t)used;
            used = 0;
        }
        if (i == count) break;
        const Keyframe &k = keys[i];
        used += (size_t)snprintf(buf + used, sizeof buf - used, "%d %.9g %.9g %.9g %.9g %.9g\n", k.frame, (double)k.x,
                                 (double)k.y, (double)k.z, (double)k.orientX, (double)k.orientY);
    }
    return written;
}

// Appends the samples taken since the last save to the scratch file. A
// failed write is cut off again, so the file stays a script of whole lines,
// and is the last: later samples are kept in memory only.
static void Record_Save(void) {
    int32_t from = bench.samplesSaved, n = bench.sampleCount;
    if (bench.scratchFailed || from == n) return;
    int64_t written = Record_PutKeys(bench.recordFd, "", bench.samples + from, n - from);
    if (written < 0) {
        bench.scratchFailed = true;
        int ignored = ftruncate(bench.recordFd, (off_t)bench.scratchBytes);  // a torn line would be dropped anyway
        (void)ignored;
        Bench_Log("flyrate: warning: can't write %s.recording after %d frames: later frames are kept in memory only",
                  bench.recordTarget, from);
        return;
    }
    bench.scratchBytes += written;
    bench.samplesSaved = n;
}

void Record_Frame(double now) {
    Record_Sample();
    // Saving is the game's time, not a benchmark's: recording times nothing.
    if (now - bench.lastSave >= kSaveSeconds) {
        Record_Save();
        bench.lastSave = now;
    }
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

// bench.recordTarget followed by suffix, in out (kRecordPathMax bytes);
// Record_Start has made sure the longest one fits.
static void Record_Name(char *out, const char *suffix) {
    size_t n = strlen(bench.recordTarget), m = strlen(suffix);
    memcpy(out, bench.recordTarget, n);
    memcpy(out + n, suffix, m);
    out[n + m] = '\0';
}

// Creates path anew, with the target's mode when it is a file (put back
// exactly: the process's umask takes bits off at creation), else with the
// mode a new file gets; plus the bits in also. Returns the descriptor, or
// -1 with errno set.
static int Record_Create(const char *path, mode_t also) {
    struct stat st = {};
    bool exists = stat(bench.recordTarget, &st) == 0 && S_ISREG(st.st_mode);
    mode_t mode = (exists ? st.st_mode & 07777 : 0666) | also;
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    // The owner changing a file it has just made fails only on a broken
    // file system (errno stays fchmod's: the clean-up succeeds). Not testable.
    if (fd >= 0 && exists && fchmod(fd, mode) != 0) close(fd), unlink(path), fd = -1;  // GCOVR_EXCL_BR_LINE
    return fd;
}

// Makes the last rename in the target's folder last: syncs the folder. A
// file system that can't sync a folder (EINVAL) has nothing more to do.
static int Record_SyncFolder(void) {
    char folder[kRecordPathMax];
    snprintf(folder, sizeof folder, "%s", bench.recordTarget);
    char *slash = strrchr(folder, '/');
    if (!slash) snprintf(folder, sizeof folder, ".");
    else slash[slash == folder] = '\0';  // "/name" is in "/"
    // The folder just renamed in is there, and its sync fails only on an
    // I/O error: not testable.
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;                        // GCOVR_EXCL_BR_LINE
    int ok = fsync(fd) == 0 || errno == EINVAL;  // GCOVR_EXCL_BR_LINE
    close(fd);
    return ok;
}

// Writes the script to TARGET.recording.new, syncs it, renames it over the
// target and syncs the folder. Returns 0 when any of it fails: with nothing
// left behind, except when only the folder's sync failed (the script is in
// place, but may not last; the scratch file is kept as for any failure).
static int Record_Script(const Keyframe *keys, int32_t count, int32_t frames) {
    char temp[kRecordPathMax], header[256];
    Record_Name(temp, ".recording.new");
    unlink(temp);  // what a write cut short left: the scratch file still holds the samples
    int fd = Record_Create(temp, 0);
    if (fd < 0) return 0;  // GCOVR_EXCL_BR_LINE: the scratch file was made in this folder, not testable
    const BenchState defaults;
    snprintf(header, sizeof header,
             "# flyrate recording: %d frames as %d keyframes, within %g blocks and %g degrees of each\nwarmup %g %g %g\n",
             frames, count, (double)kPositionTolerance, (double)kAngleTolerance, defaults.warmupMin,
             defaults.warmupQuiet, defaults.warmupMax);
    int ok = Record_PutKeys(fd, header, keys, count) >= 0;
    // fsync and close fail only on an I/O error: not testable.
    if (fsync(fd) != 0) ok = 0;  // GCOVR_EXCL_BR_LINE
    if (close(fd) != 0) ok = 0;  // GCOVR_EXCL_BR_LINE
    if (!ok || rename(temp, bench.recordTarget) != 0) {
        unlink(temp);
        return 0;
    }
    return Record_SyncFolder();
}

// Makes the samples the script over FILE. The scratch file is removed once
// the script is written, or when there is nothing to make one of; when the
// write fails it stays for the next start-up to finish.
static void Record_Write(void) {
    char scratch[kRecordPathMax];
    Record_Name(scratch, ".recording");
    int32_t n = bench.sampleCount;
    if (n < 2) {
        Bench_Log("flyrate: warning: %d frames recorded, a script needs two: %s not written", n, bench.recordPath);
        unlink(scratch);
        return;
    }
    // The chosen keyframes move to the front of the samples, in order.
    Keyframe *s = bench.samples;
    int32_t count = 1;
    for (int32_t i = 0; i < n - 1; count++) {
        i = Record_Farthest(s, n, i);
        s[count] = s[i];
    }
    if (!Record_Script(s, count, n)) {
        Bench_Log("flyrate: warning: can't write %s: the recording stays in %s for the next start to finish",
                  bench.recordPath, scratch);
        return;
    }
    unlink(scratch);
    Bench_Log("flyrate: recorded %d frames as %d keyframes to %s", n, count, bench.recordPath);
}

void Record_Finish(void) {
    Record_Save();
    Record_Write();
    close(bench.recordFd);
    bench.recordFd = -1;
}

// file with every symbolic link in its last part followed, in
// bench.recordTarget: where a link points is where the script goes. A name
// that doesn't exist (yet) ends the search. Returns 0 with errno set when
// the name gets too long or the links too many.
static int Record_Resolve(const char *file) {
    char *target = bench.recordTarget, link[kRecordPathMax];
    if ((size_t)snprintf(target, kRecordPathMax, "%s", file) >= (size_t)kRecordPathMax) {
        errno = ENAMETOOLONG;
        return 0;
    }
    for (int links = 0;; links++) {
        struct stat st;
        if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) return 1;
        ssize_t n = links < kMaxLinks ? readlink(target, link, sizeof link - 1) : (errno = ELOOP, -1);
        if (n < 0) return 0;
        link[n] = '\0';
        // A relative link is relative to the folder holding it.
        const char *slash = strrchr(target, '/');
        size_t keep = link[0] != '/' && slash ? (size_t)(slash - target) + 1 : 0;
        if (keep + (size_t)n >= (size_t)kRecordPathMax) {
            errno = ENAMETOOLONG;
            return 0;
        }
        memmove(target + keep, link, (size_t)n + 1);
    }
}

// Cuts off a last line without its newline (a write the crash cut short).
// Returns the number of whole lines, or -1 when the file can't be read.
static int64_t Record_Trim(int fd) {
    char buf[16384];
    int64_t lines = 0, end = 0, at = 0;
    for (ssize_t n; (n = pread(fd, buf, sizeof buf, (off_t)at)) != 0; at += n) {
        if (n < 0) return -1;  // GCOVR_EXCL_BR_LINE: a read error, not testable
        for (ssize_t i = 0; i < n; i++) {
            if (buf[i] == '\n') lines++, end = at + i + 1;
        }
    }
    return end == at || ftruncate(fd, (off_t)end) == 0 ? lines : -1;  // GCOVR_EXCL_BR_LINE: ftruncate fails only on an I/O error
}

// A scratch file a recording left: made the script over FILE, as the end
// of that recording would have. Returns 1 when it held too little to keep
// (and is gone), so this start-up records as usual; 0 otherwise.
static int Record_Recover(int fd, const char *scratch) {
    // A file that doesn't start as a scratch file does is left as it is.
    char start[sizeof kScratchHeader - 1];
    bool ours = pread(fd, start, sizeof start, 0) == (ssize_t)sizeof start && !memcmp(start, kScratchHeader, sizeof start);
    // The header's two lines and two frames make a script.
    int64_t lines = ours ? Record_Trim(fd) : -1;
    if (lines >= 0 && lines < 4) {
        unlink(scratch);
        return 1;
    }
    Bench_Log("flyrate: finishing the recording left in %s; nothing new is recorded this time", scratch);
    // Its frames count from 0 one by one: the plug-in's own script reader
    // reads it, and the table becomes the samples.
    if (lines < 0 || !Keyframes_Load(scratch) || bench.totalFrames != bench.keyframeCount - 1) {
        Bench_Log("flyrate: warning: %s isn't a recording flyrate can finish: nothing is recorded to %s until it is removed",
                  scratch, bench.recordPath);
    } else {
        bench.samples = bench.keyframes;
        bench.sampleCount = bench.sampleCapacity = bench.keyframeCount;
        bench.keyframes = nullptr;
        bench.keyframeCount = bench.totalFrames = 0;
        Record_Write();
    }
    Bench_ReleaseTables();
    return 0;
}

int Record_Start(const char *file) {
    bench.recordPath = file;
    bench.recordFd = -1;
    bench.samplesSaved = 0;
    bench.scratchFailed = false;
    bench.lastSave = -INFINITY;  // the first frame is saved at once
    char scratch[kRecordPathMax];
    struct stat st;
    const char *why = nullptr;
    if (!Record_Resolve(file)) {
        why = strerror(errno);
    } else if (strlen(bench.recordTarget) + sizeof ".recording.new" > (size_t)kRecordPathMax) {
        why = strerror(ENAMETOOLONG);
    } else if (stat(bench.recordTarget, &st) == 0 && !S_ISREG(st.st_mode)) {
        why = S_ISDIR(st.st_mode) ? strerror(EISDIR) : "not a regular file";
    }
    if (why) {
        Bench_Log("flyrate: warning: can't write %s: %s; nothing is recorded", file, why);
        return 0;
    }
    Record_Name(scratch, ".recording");
    // The lock tells a recording still going on (another game's) from a
    // scratch file a crash left.
    int fd = open(scratch, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        int locked = flock(fd, LOCK_EX | LOCK_NB) == 0, again = locked && Record_Recover(fd, scratch);
        close(fd);
        if (!locked) Bench_Log("flyrate: warning: can't write %s: another game is recording to it; nothing is recorded", file);
        if (!again) return 0;
    }
    // The scratch file stays readable and writable by its owner, for the
    // next start-up to finish, even beside a read-only target.
    fd = Record_Create(scratch, S_IRUSR | S_IWUSR);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || !Record_WriteAll(fd, kScratchHeader, sizeof kScratchHeader - 1)) {
        Bench_Log("flyrate: warning: can't write %s: %s; nothing is recorded", file, strerror(errno));
        if (fd >= 0) close(fd), unlink(scratch);  // GCOVR_EXCL_BR_LINE: made, then not written, is not testable
        return 0;
    }
    bench.recordFd = fd;
    bench.scratchBytes = (int64_t)sizeof kScratchHeader - 1;
    return 1;
}
