// main.cpp: runs the suite and checks each measurement against its target.
//
// Every plug-in benchmark sits next to its baseline, and the targets are
// ratios of medians so that they hold on any machine: after the usual
// table the suite prints one line per target with the figures, the ratio
// and whether it is met. Without flags it runs 5 repetitions of at least
// 0.5 s each and shows only their aggregates; any --benchmark_* flag given
// on the command line takes precedence.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "bench/suite.h"

namespace {

// Median time per iteration in nanoseconds, by benchmark name (family name
// plus arguments, without the flags benchmark appends). CPU time of the
// benchmark thread unless the benchmark asked for wall time: on a shared
// machine another process's work lengthens the wall time of whatever runs
// beside it, but not the time this thread actually spends. Only work done
// in other threads (the GL driver's) needs wall time to be counted.
class TargetReporter : public benchmark::ConsoleReporter {
  public:
    explicit TargetReporter(OutputOptions opts) : ConsoleReporter(opts) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            // With repetitions the median stands for the benchmark; a single
            // repetition (a smoke run) has no aggregates, only itself.
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (!median && !single) continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
            double t = run.run_name.time_type == "real_time" ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            medians[name] = t / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
        }
    }

    std::map<std::string, double> medians;
};

struct Target {
    const char *what;      // shown in the summary
    const char *measured;  // benchmark name
    const char *baseline;  // benchmark name, or null for an absolute limit
    double limit;          // ratio, or nanoseconds without a baseline; 0: reported only
    const char *note;      // shown after a reported-only ratio
};

const Target kTargets[] = {
    {"hook, running frame", "Hook/Bench_OnDraw2D", "Hook/clock_gettime", 2.0, ""},
    {"hook with GPU times", "Hook/Bench_OnDraw2D_finished/gpu:1", "Hook/Bench_OnDraw2D_finished/gpu:0", 0.0,
     "(a query issued, one read)"},
    {"camera pair, 100 vs 2 keyframes", "Camera/keyframes/100", "Camera/keyframes/2", 1.3, ""},
    {"camera pair, 10k vs 2 keyframes", "Camera/keyframes/10000", "Camera/keyframes/2", 1.3, ""},
    {"camera pair, 100k vs 2 keyframes", "Camera/keyframes/100000", "Camera/keyframes/2", 1.3, ""},
    {"script load, 100,000 lines", "Script/Keyframes_Load", "Script/fgets_lines", 0.0, "(about 10x expected)"},
    {"script load vs fgets+sscanf", "Script/Keyframes_Load", "Script/fgets_sscanf", 0.0, "(the conversions' share)"},
    {"report, 1,000 frames", "Report/Report_Pass/1000", "Report/qsort/1000", 1.3, ""},
    {"report, 100,000 frames", "Report/Report_Pass/100000", "Report/qsort/100000", 1.3, ""},
    {"report, 1,000,000 frames", "Report/Report_Pass/1000000", "Report/qsort/1000000", 1.3, ""},
    {"capture, 1920x1080", "Capture/Capture_Frame", "Capture/glReadPixels_fwrite", 1.25, ""},
};

std::string FormatTime(double ns) {
    char buf[32];
    if (ns < 1e3) snprintf(buf, sizeof buf, "%.1f ns", ns);
    else if (ns < 1e6) snprintf(buf, sizeof buf, "%.1f us", ns / 1e3);
    else snprintf(buf, sizeof buf, "%.2f ms", ns / 1e6);
    return buf;
}

// Prints the targets' lines; returns how many targets were missed.
int PrintTargets(const std::map<std::string, double> &medians, bool smoke) {
    printf("\nTargets (medians; CPU time, wall time for capture%s):\n", smoke ? "; one short repetition, figures only indicative" : "");
    int missed = 0;
    for (const Target &t : kTargets) {
        auto m = medians.find(t.measured);
        if (m == medians.end()) continue;
        char line[256];
        if (!t.baseline) {
            bool met = m->second < t.limit;
            missed += !met;
            snprintf(line, sizeof line, "%-32s %10s                              target < %.0f ns   %s", t.what,
                     FormatTime(m->second).c_str(), t.limit, met ? "met" : "MISSED");
        } else {
            auto b = medians.find(t.baseline);
            if (b == medians.end() || b->second <= 0) continue;
            double ratio = m->second / b->second;
            std::string base = FormatTime(b->second);
            if (t.limit > 0) {
                bool met = ratio <= t.limit;
                missed += !met;
                snprintf(line, sizeof line, "%-32s %10s = %6.2fx baseline %10s   target <= %.2fx  %s", t.what,
                         FormatTime(m->second).c_str(), ratio, base.c_str(), t.limit, met ? "met" : "MISSED");
            } else {
                snprintf(line, sizeof line, "%-32s %10s = %6.2fx baseline %10s   reported %s", t.what,
                         FormatTime(m->second).c_str(), ratio, base.c_str(), t.note);
            }
        }
        printf("%s\n", line);
    }
    printf("%d target%s missed\n", missed, missed == 1 ? "" : "s");
    return missed;
}

bool HasFlag(int argc, char **argv, const char *prefix) {
    for (int i = 1; i < argc; i++)
        if (strncmp(argv[i], prefix, strlen(prefix)) == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> owned(argv, argv + argc);
    if (!HasFlag(argc, argv, "--benchmark_min_time")) owned.push_back("--benchmark_min_time=0.5");
    if (!HasFlag(argc, argv, "--benchmark_repetitions")) owned.push_back("--benchmark_repetitions=5");
    if (!HasFlag(argc, argv, "--benchmark_report_aggregates_only") && !HasFlag(argc, argv, "--benchmark_display_aggregates_only"))
        owned.push_back("--benchmark_report_aggregates_only=true");
    std::vector<char *> args;
    for (std::string &s : owned) args.push_back(s.data());
    int count = (int)args.size();
    args.push_back(nullptr);

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    HookBench_Register();
    CameraBench_Register();
    ScriptBench_Register();
    ReportBench_Register();
    CaptureBench_Register();

    TargetReporter reporter(isatty(1) ? benchmark::ConsoleReporter::OO_ColorTabular : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bool smoke = true;
    for (const std::string &s : owned)
        if (s.rfind("--benchmark_repetitions=", 0) == 0 && atoi(s.c_str() + 24) > 1) smoke = false;
    PrintTargets(reporter.medians, smoke);

    Suite_Cleanup();
    benchmark::Shutdown();
    return 0;
}
