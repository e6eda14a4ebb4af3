// report.cpp: the result lines of one pass.
//
// At the end of every pass the controller calls Report_Pass, which turns the
// pass's frame times into the per-second frame counts and the summary that
// users compare between builds of their game. Every figure is formed in a
// fixed order (sorted copy, sum from the smallest time upwards, boundaries
// tested against the running sum exactly as accumulated), so the same frame
// times always print the same characters.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plugin/bench.h"
#include "run/run.h"

// The per-second text holds what one log line prints, and no more.
static constexpr char kPerSecondHead[] = "flyrate: per-second fps:";
static_assert(sizeof kPerSecondHead - 1 == 24, "per-second line head");

static int Report_CompareMs(const void *a, const void *b) {
    double x = *(const double *)a;
    double y = *(const double *)b;
    if (x < y) return -1;
    if (x > y) return 1;
    return 0;
}

// Counts the frames completed in each whole wall-clock second of the pass.
// A frame that reaches a boundary counts in the second ending there; a frame
// spanning several boundaries gives 0 for each further one; frames after the
// last whole second are not shown. The counts stop at the last one that
// fits the log line whole: a count cut short would print a wrong number.
static void Report_PerSecond(const double *times, int32_t count, char text[kLogLineMax + 1]) {
    size_t len = sizeof kPerSecondHead - 1;
    memcpy(text, kPerSecondHead, sizeof kPerSecondHead);
    double elapsed = 0;
    double boundary = 1;
    int32_t frames = 0;
    for (int32_t i = 0; i < count; i++) {
        frames++;
        elapsed += times[i] / 1000;
        while (elapsed >= boundary) {
            char number[16];
            size_t n = (size_t)snprintf(number, sizeof number, " %d", frames);
            if (len + n > (size_t)kLogLineMax) return;
            memcpy(text + len, number, n + 1);
            len += n;
            boundary += 1;
            frames = 0;
        }
    }
}

// The pass's GPU figures, when it has the tables: how many frames have a
// GPU time, their mean and largest, and the same of the GPU's lag. Frames
// without figures (their query lost, or after a disjoint timer) are left out.
static void Report_Gpu(void) {
    if (!bench.gpuMs) return;
    int32_t timed = 0, lagged = 0;
    double sum = 0, max = 0, lagSum = 0, lagMax = 0;
    for (int32_t i = 0; i < bench.totalFrames; i++) {
        double ms = bench.gpuMs[i], lag = bench.gpuLagMs[i];
        if (!isnan(ms)) {
            if (timed++ == 0 || ms > max) max = ms;
            sum += ms;
        }
        if (!isnan(lag)) {
            if (lagged++ == 0 || lag > lagMax) lagMax = lag;
            lagSum += lag;
        }
    }
    if (timed == 0 || lagged == 0) {
        Bench_Log("flyrate: gpu: %d of %d frames timed", timed, bench.totalFrames);
        return;
    }
    Bench_Log("flyrate: gpu: %d of %d frames timed, gpu ms avg/max %.1f/%.1f, lag ms avg/max %.1f/%.1f", timed,
              bench.totalFrames, sum / timed, max, lagSum / lagged, lagMax);
}

void Report_Pass(void) {
    // Only a completed pass is reported: totalFrames is at least 1.
    int32_t n = bench.totalFrames;
    double *sorted = (double *)malloc((size_t)n * sizeof(double));
    if (!sorted) return;  // no report for this pass; the run goes on
    memcpy(sorted, bench.frameTimes, (size_t)n * sizeof(double));
    qsort(sorted, (size_t)n, sizeof(double), Report_CompareMs);

    double sum = 0;
    for (int32_t i = 0; i < n; i++) sum += sorted[i];
    double seconds = sum / 1000;

    char perSecond[kLogLineMax + 1];
    Report_PerSecond(bench.frameTimes, n, perSecond);
    Bench_Log("%s", perSecond);

    if (bench.passes > 1) Bench_Log("flyrate: pass %d of %d", bench.pass, bench.passes);
    Bench_Log("flyrate: chunks built: %ld in the warm-up, %ld during the run", (long)bench.warmupChunks,
              (long)bench.runChunks);
    if (bench.cameraSwitches != 0) {
        Bench_Log("flyrate: warning: the game switched the camera %d times during the run", bench.cameraSwitches);
    }
    // The index in 64 bits: n * 99 leaves the int32 range above 21,691,754
    // frames and would point before the table.
    int64_t p99 = (int64_t)n * 99 / 100;
    Bench_Log("flyrate: %d frames %.2f seconds %.2f fps, frame ms min/avg/p99/max %.1f/%.1f/%.1f/%.1f", n, seconds,
              n / seconds, sorted[0], sum / n, sorted[p99], sorted[n - 1]);
    Report_Gpu();
    free(sorted);
}
