// csvlog.cpp: the optional per-frame log of each completed pass.
//
// When FLYRATE_CSV names a file, every completed pass's frame times go there
// after that pass's report, outside the timed frames, so comparison tools can
// work from every frame rather than from the summary. The format is stable:
// a header "pass,frame,frame_ms,chunks", then one row per frame, frames
// 1..N, milliseconds with six decimals, and the chunk builds the game
// counted during the frame. Without room for the chunk counts the column is
// left out, header included. With GPU times (FLYRATE_GPU=1) two more
// columns follow, "gpu_ms,gpu_lag_ms", empty in a frame without them. The
// first pass creates or truncates the file; later passes append to it.
//
// A pass's rows are all there or none are: a pass whose rows can't be
// written whole (a full disk, say) is cut off the file again, so the passes
// before it stay readable, and a pass that finds the file empty (the first
// pass's write failed, or the file was emptied) starts it with the header.
#include <math.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "plugin/bench.h"
#include "run/run.h"

// A GPU figure with six decimals, or an empty cell where it is missing.
static int Report_CsvCell(FILE *f, double ms) { return !isnan(ms) ? fprintf(f, ",%.6f", ms) : fputc(',', f); }

void Report_WriteCsv(void) {
    if (!bench.csvPath) return;
    FILE *f = fopen(bench.csvPath, bench.pass == 1 ? "w" : "a");
    if (!f) {
        Bench_Log("flyrate: warning: can't write %s", bench.csvPath);
        return;
    }
    // Where this pass's rows start. A pipe or a device (/dev/stdout, say)
    // has no size to go back to: it gets the header with the first pass only.
    struct stat st = {};
    bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    off_t start = regular ? st.st_size : 0;
    bool header = regular ? start == 0 : bench.pass == 1;

    const int64_t *chunks = bench.frameChunks;
    const bool gpu = bench.gpuMs;
    int ok = 1;
    if (header && fprintf(f, "pass,frame,frame_ms%s%s\n", chunks ? ",chunks" : "", gpu ? ",gpu_ms,gpu_lag_ms" : "") < 0) ok = 0;
    for (int32_t i = 0; ok && i < bench.totalFrames; i++) {
        if (fprintf(f, "%d,%d,%.6f", bench.pass, i + 1, bench.frameTimes[i]) < 0) ok = 0;
        if (chunks && fprintf(f, ",%lld", (long long)chunks[i]) < 0) ok = 0;
        if (gpu && (Report_CsvCell(f, bench.gpuMs[i]) < 0 || Report_CsvCell(f, bench.gpuLagMs[i]) < 0)) ok = 0;
        if (fputc('\n', f) == EOF) ok = 0;
    }
    if (fclose(f) != 0) ok = 0;
    if (ok) return;
    // A short write leaves part of a row: the pass is taken out again, and
    // the user is told, as for a failed open (and if even that fails).
    bool torn = regular && truncate(bench.csvPath, start) != 0;
    Bench_Log("flyrate: warning: can't write %s%s", bench.csvPath, torn ? "; its last pass is incomplete" : "");
}
