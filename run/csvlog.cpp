// csvlog.cpp: the optional per-frame log of each completed pass.
//
// When FLYRATE_CSV names a file, every completed pass's frame times go there
// after that pass's report, outside the timed frames, so comparison tools can
// work from every frame rather than from the summary. The format is stable:
// a header "pass,frame,frame_ms,chunks", then one row per frame, frames
// 1..N, milliseconds with six decimals, and the chunk builds the game
// counted during the frame. Without room for the chunk counts the column is
// left out, header included. The first pass creates or truncates the file;
// later passes append to it.
#include <stdio.h>

#include "plugin/bench.h"
#include "run/run.h"

void Report_WriteCsv(void) {
    if (!bench.csvPath) return;
    FILE *f = fopen(bench.csvPath, bench.pass == 1 ? "w" : "a");
    if (!f) {
        Bench_Log("flyrate: warning: can't write %s", bench.csvPath);
        return;
    }
    // A short write (a full disk, say) is reported like a failed open: the
    // rows are incomplete and the user must know.
    const int64_t *chunks = bench.frameChunks;
    int ok = 1;
    if (bench.pass == 1 && fputs(chunks ? "pass,frame,frame_ms,chunks\n" : "pass,frame,frame_ms\n", f) < 0) ok = 0;
    for (int32_t i = 0; ok && i < bench.totalFrames; i++) {
        int n = chunks ? fprintf(f, "%d,%d,%.6f,%lld\n", bench.pass, i + 1, bench.frameTimes[i], (long long)chunks[i])
                       : fprintf(f, "%d,%d,%.6f\n", bench.pass, i + 1, bench.frameTimes[i]);
        if (n < 0) ok = 0;
    }
    if (fclose(f) != 0) ok = 0;
    if (!ok) Bench_Log("flyrate: warning: can't write %s", bench.csvPath);
}
