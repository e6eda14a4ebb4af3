// timing.cpp: the host's own record of when each frame happened.
//
// The stand-in stamps every frame at one fixed point, just before the 2D
// phase that calls the Draw2D hooks, and keeps every stamp. A frame's time is
// the distance between its stamp and the one before, the same span a
// plug-in's hook sees, so the summary printed here can be held against a
// plug-in's own figures without trusting its clock.
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "standin/standin.h"

static std::vector<double> marks;

double Timing_Now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

void Timing_Mark(double t) { marks.push_back(t); }

void Timing_PrintSummary(int last) {
    int intervals = (int)marks.size() - 1;
    if (last > 0 && last < intervals) intervals = last;
    if (intervals < 1) {
        fprintf(stderr, "standin: summary: too few frames to time\n");
        return;
    }
    std::vector<double> ms;
    size_t first = marks.size() - (size_t)intervals;
    for (size_t i = first; i < marks.size(); i++) ms.push_back((marks[i] - marks[i - 1]) * 1000.0);
    double seconds = (marks.back() - marks[first - 1]);
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms) sum += v;
    fprintf(stderr, "standin: summary: %d frames %.4f seconds %.2f fps, frame ms min/avg/p99/max %.1f/%.1f/%.1f/%.1f\n",
            intervals, seconds, intervals / seconds, ms.front(), sum / intervals, ms[(size_t)(intervals * 99 / 100)],
            ms.back());
}
