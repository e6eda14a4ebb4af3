// keyframes_fuzz.cpp: the keyframe script loader on arbitrary bytes.
//
// Each input is written to one temporary file and loaded. Beyond what the
// sanitizers catch, a load either succeeds silently with a table that keeps
// the script's invariants, or fails with at most one error line naming the
// script and leaves the counts as they were.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "fuzz/fuzzhost.h"
#include "path/path.h"
#include "plugin/bench.h"

static char scriptPath[] = "/tmp/flyrate-fuzz-script-XXXXXX";
static int scriptFd = -1;

static void RemoveScript(void) { unlink(scriptPath); }

// Sizes the allocator refuses instead of aborting, as a real one would.
extern "C" const char *__asan_default_options(void) {
    return "allocator_may_return_null=1:max_allocation_size_mb=512:detect_leaks=1";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    scriptFd = mkstemp(scriptPath);
    FuzzHost_Check(scriptFd >= 0, "can't make the script file");
    atexit(RemoveScript);
    LogCatch_Start();
    return 0;
}

static bool StartsWith(const char *s, const char *prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzHost_Check(ftruncate(scriptFd, 0) == 0, "can't empty the script file");
    FuzzHost_Check(pwrite(scriptFd, data, size, 0) == (ssize_t)size, "can't write the script file");

    bench = BenchState{};
    LogCatch_Clear();
    int ok = Keyframes_Load(scriptPath);
    int lines = LogCatch_Drain();

    if (ok == 1) {
        FuzzHost_Check(lines == 0, "a successful load logged something");
        FuzzHost_Check(bench.keyframeCount >= 2 && bench.keyframes, "loaded fewer than two keyframes");
        FuzzHost_Check(bench.keyframes[0].frame == 0, "first keyframe is not frame 0");
        for (int32_t i = 1; i < bench.keyframeCount; i++) {
            FuzzHost_Check(bench.keyframes[i].frame > bench.keyframes[i - 1].frame, "frames do not ascend");
        }
        FuzzHost_Check(bench.totalFrames == bench.keyframes[bench.keyframeCount - 1].frame,
                       "totalFrames is not the last keyframe's frame");
    } else {
        FuzzHost_Check(ok == 0, "load returned neither 0 nor 1");
        FuzzHost_Check(bench.keyframeCount == 0 && bench.totalFrames == 0, "a failed load changed the counts");
        // Memory running out is the one failure without a message.
        FuzzHost_Check(lines <= 1, "a failed load logged more than one line");
        if (lines == 1) {
            const char *line = LogCatch_Record(0);
            char prefix[128];
            snprintf(prefix, sizeof prefix, "flyrate: error: %s", scriptPath);
            bool known = StartsWith(line, prefix) || StartsWith(line, "flyrate: error: can't open ");
            FuzzHost_Check(known, "a failed load logged something other than an error about the script");
        }
    }

    free(bench.keyframes);
    bench = BenchState{};
    return 0;
}
