// alloc_faults_test.cpp: a whole run with the n-th allocation failing, for
// every n until a run needs no more allocations than were failed.
//
// This program replaces malloc, calloc, realloc and free for itself,
// forwarding to the C library's own. While "armed" (only around calls into
// the plug-in) allocations are counted, the chosen one fails, and every
// block handed out is tracked until it is freed, so a run that ends with a
// block outstanding after the free slot has leaked. The C library's internal
// allocations (fopen's FILE, stdio buffers, qsort's scratch) go through the
// same functions and fail in turn too.
//
// Each failure must end in one of the designed outcomes, compared with a
// run in which nothing failed:
// - nothing visible (stdio falls back to unbuffered files, for example);
// - the keyframe table or the frame-time table can't be allocated: only
//   "flyrate: closing the game", and the game is asked to close;
// - fopen can't allocate its FILE for the script: the can't-open error, then
//   closing; for a screenshot: the can't-write warning, the run goes on;
// - the report's copy: that pass prints no report lines, the run goes on;
// - the capture buffer: that screenshot is missing, nothing is printed;
// - the per-frame log's FILE or buffer (it writes to /dev/full, a full
//   disk): the same one warning per pass as without the failure.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <GL/gl.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "path/path.h"
#include "plugin/bench.h"
#include "plugin/host.h"
#include "run/run.h"
#include "tests/support/capture.h"
#include "tests/support/fakehost.h"
#include "tests/support/testclock.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
void __libc_free(void *p);
}

namespace {

struct Injector {
    bool armed;
    long count;    // allocations seen while armed
    long failAt;   // 1-based; 0 = never
    bool failed;   // the chosen allocation has failed
    size_t failedSize;
    char failedKind;  // 'm', 'c' or 'r'
    static constexpr int kMaxLive = 1024;
    void *live[kMaxLive];  // blocks handed out while armed, not yet freed
    int liveCount;
    bool overflow;
};
Injector inj;

bool Inject_Fail(char kind, size_t size) {
    if (!inj.armed) return false;
    if (++inj.count != inj.failAt) return false;
    inj.failed = true;
    inj.failedKind = kind;
    inj.failedSize = size;
    errno = ENOMEM;
    return true;
}

void Inject_Track(void *p) {
    if (!p || !inj.armed) return;
    if (inj.liveCount == Injector::kMaxLive) {
        inj.overflow = true;
        return;
    }
    inj.live[inj.liveCount++] = p;
}

void Inject_Untrack(void *p) {
    for (int i = 0; i < inj.liveCount; i++) {
        if (inj.live[i] == p) {
            inj.live[i] = inj.live[--inj.liveCount];
            return;
        }
    }
}

}  // namespace

extern "C" void *malloc(size_t size) {
    if (Inject_Fail('m', size)) return nullptr;
    void *p = __libc_malloc(size);
    Inject_Track(p);
    return p;
}

extern "C" void *calloc(size_t count, size_t size) {
    if (Inject_Fail('c', count * size)) return nullptr;
    void *p = __libc_calloc(count, size);
    Inject_Track(p);
    return p;
}

extern "C" void *realloc(void *old, size_t size) {
    if (Inject_Fail('r', size)) return nullptr;  // the old block stays as it was
    void *p = __libc_realloc(old, size);
    if (p) {
        bool wasLive = false;
        for (int i = 0; i < inj.liveCount; i++) wasLive |= inj.live[i] == old;
        if (old) Inject_Untrack(old);
        if (wasLive || inj.armed) {
            bool armed = inj.armed;
            inj.armed = true;
            Inject_Track(p);
            inj.armed = armed;
        }
    }
    return p;
}

extern "C" void free(void *p) {
    if (p) Inject_Untrack(p);
    __libc_free(p);
}

// The capture's OpenGL calls: each read fills the frame with a byte that
// names the frame and pass being captured, so a file shows which capture
// wrote it.
static int pixelReads;
extern "C" void glPixelStorei(GLenum, GLint) {}
extern "C" void glReadPixels(GLint, GLint, GLsizei w, GLsizei h, GLenum, GLenum, void *pixels) {
    memset(pixels, (bench.curFrame * 2 + bench.pass) & 0xff, (size_t)w * (size_t)h * 3);
    pixelReads++;
}

namespace {

// 33 keyframes at frames 0, 2, ..., 64: the table grows once past 32.
std::string Script() {
    std::string s = "# fault injection\nwarmup 0.5 0.25 5\n";
    for (int i = 0; i <= 32; i++) s += std::to_string(i * 2) + " 1 2 3 " + std::to_string(i) + " 0\n";
    return s;
}

struct Outcome {
    std::string out;                  // everything the plug-in printed
    std::vector<std::string> shots;   // screenshots seen after each hook call, "call:name:byte"
    int closeRequests = 0;
    RunState stateBeforeFree = RunState_Idle;
    bool tableAllocated = false;      // bench.keyframes before the free slot
    int32_t keyframeCount = 0;
    bool frameTimesAllocated = false;
    bool injected = false;
    char kind = 0;
    size_t size = 0;
    long allocations = 0;
    int leaked = 0;
};

class FaultRun {
public:
    FaultRun() : script_(TestFile_Write(Script())), shots_(TestDir_Make()) {}
    ~FaultRun() {
        unlink(script_.c_str());
        ClearShots(nullptr, 0);
        rmdir(shots_.c_str());
    }
    const std::string &script() const { return script_; }
    const std::string &shots() const { return shots_; }

    // A whole run: start-up, map, warm-up, two passes with screenshots,
    // shutdown after the close request; allocation failAt fails (0: none).
    Outcome Go(long failAt) {
        setenv("FLYRATE", script_.c_str(), 1);
        setenv("FLYRATE_SHOTS", shots_.c_str(), 1);
        setenv("FLYRATE_PASSES", "2", 1);
        // The per-frame log goes to a full disk: its warning is part of
        // every pass, and a stream left unbuffered fails on its first row.
        setenv("FLYRATE_CSV", "/dev/full", 1);
        FakeHost_Reset();
        Game.width = 4;
        Game.height = 3;
        bench = BenchState{};
        pixelReads = 0;
        Outcome o;
        inj = Injector{};
        inj.failAt = failAt;
        TestClock_Set(100);
        StdoutCapture_Begin();

        Armed([] { Bench_Init(); });
        if (bench.state == RunState_Armed) {
            Armed([] { Bench_OnMapLoaded(); });
            for (int call = 0; call < 1000 && fakeHost.closeRequests == 0; call++) {
                TestClock_Advance(0.02);
                HostDraw2DFn hook = Game.Draw2DHooks[bench.hookIndex];
                if (!hook) break;
                Armed([hook] { hook(0.02); });
                ClearShots(&o.shots, call);
            }
        }
        o.stateBeforeFree = bench.state;
        o.tableAllocated = bench.keyframes != nullptr;
        o.keyframeCount = bench.keyframeCount;
        o.frameTimesAllocated = bench.frameTimes != nullptr;
        Armed([] { Bench_Free(); });

        o.out = StdoutCapture_End();
        TestClock_Release();
        o.closeRequests = fakeHost.closeRequests;
        o.injected = inj.failed;
        o.kind = inj.failedKind;
        o.size = inj.failedSize;
        o.allocations = inj.count;
        o.leaked = inj.liveCount + (inj.overflow ? 1 : 0);
        inj = Injector{};
        return o;
    }

private:
    template <typename F>
    static void Armed(F f) {
        inj.armed = true;
        f();
        inj.armed = false;
    }

    // Records (when seen is given) and removes the screenshots written by
    // the last hook call.
    void ClearShots(std::vector<std::string> *seen, int call) {
        DIR *dir = opendir(shots_.c_str());
        if (!dir) return;
        std::vector<std::string> names;
        while (struct dirent *e = readdir(dir)) {
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        closedir(dir);
        for (const std::string &name : names) {
            std::string path = shots_ + "/" + name;
            std::string data = TestFile_Read(path);
            if (seen) {
                // 4 x 3 RGB after the header; every byte the capture's mark.
                const std::string header = "P6\n4 3\n255\n";
                bool whole = data.size() == header.size() + 36 && data.compare(0, header.size(), header) == 0;
                int mark = whole ? (unsigned char)data.back() : -1;
                seen->push_back(std::to_string(call) + ":" + name + ":" + std::to_string(mark));
            }
            unlink(path.c_str());
        }
    }

    std::string script_;
    std::string shots_;
};

std::string Join(const std::vector<std::string> &lines) {
    std::string s;
    for (const std::string &l : lines) s += l + "\n";
    return s;
}

// The reference output without the report lines of pass p (1-based): from
// its per-second line to its summary line.
std::string WithoutReport(const std::string &reference, int p) {
    std::vector<std::string> in = TestText_Lines(reference), out;
    int pass = 0;
    bool skipping = false;
    for (const std::string &l : in) {
        if (l.rfind("flyrate: per-second fps:", 0) == 0 && ++pass == p) skipping = true;
        if (!skipping) out.push_back(l);
        if (skipping && l.rfind("flyrate: 64 frames ", 0) == 0) skipping = false;
    }
    return Join(out);
}

// True when got is want with exactly one entry left out; names it.
bool MissingOne(const std::vector<std::string> &got, const std::vector<std::string> &want, std::string *dropped) {
    if (got.size() + 1 != want.size()) return false;
    size_t i = 0;
    while (i < got.size() && got[i] == want[i]) i++;
    *dropped = want[i];
    std::vector<std::string> expect = want;
    expect.erase(expect.begin() + (long)i);
    return got == expect;
}

std::string Describe(long n, const Outcome &o) {
    std::ostringstream s;
    s << "allocation " << n << " (" << o.kind << ", " << o.size << " bytes) failed; output:\n" << o.out;
    return s.str();
}

}  // namespace

TEST(AllocationFaults, EveryAllocationFailingInTurnEndsAsDesigned) {
    FaultRun run;
    Outcome reference = run.Go(0);
    ASSERT_FALSE(reference.injected);
    ASSERT_EQ(reference.leaked, 0) << "a run without failures leaks";
    ASSERT_EQ(reference.closeRequests, 1);
    // Summary, map, start, then per pass 4 report lines and the log's warning.
    ASSERT_EQ(TestText_Lines(reference.out).size(), 13u) << reference.out;
    // Frame 0 and frames 2, 4, ..., 64 in each of the two passes.
    ASSERT_EQ(reference.shots.size(), 65u);
    ASSERT_GT(reference.allocations, 0);

    const std::string cantOpen = "flyrate: error: can't open " + run.script() + "\nflyrate: closing the game\n";
    std::map<std::string, int> seen;
    long n = 1;
    for (;; n++) {
        ASSERT_LT(n, 100000) << "allocations never run out";
        Outcome o = run.Go(n);
        if (!o.injected) {
            // Fewer allocations than n: nothing failed, and the run is the reference.
            EXPECT_EQ(o.out, reference.out);
            EXPECT_EQ(o.shots, reference.shots);
            break;
        }
        SCOPED_TRACE(Describe(n, o));
        EXPECT_EQ(o.leaked, 0) << "blocks outstanding after the free slot";
        EXPECT_EQ(o.closeRequests, 1) << "the game must be asked to close exactly once";

        std::string what;
        if (o.out == "flyrate: closing the game\n") {
            EXPECT_EQ(o.stateBeforeFree, RunState_Finished);
            EXPECT_TRUE(o.shots.empty());
            for (int i = 0; i < 4; i++) EXPECT_EQ(Game.Draw2DHooks[i], nullptr) << "slot " << i;
            if (!o.tableAllocated) {
                what = "keyframe table, first allocation";
            } else if (o.keyframeCount == 0) {
                what = "keyframe table, growth";
            } else {
                EXPECT_EQ(o.keyframeCount, 33);
                EXPECT_FALSE(o.frameTimesAllocated);
                what = "frame-time table";
            }
        } else if (o.out == cantOpen) {
            EXPECT_EQ(o.stateBeforeFree, RunState_Finished);
            what = "script file";
        } else if (o.out == reference.out && o.shots == reference.shots) {
            what = "transparent";
        } else if (o.out == reference.out) {
            // A screenshot skipped without a word: exactly one missing.
            std::string dropped;
            EXPECT_TRUE(MissingOne(o.shots, reference.shots, &dropped));
            what = "capture buffer";
        } else if (o.out == WithoutReport(reference.out, 1) || o.out == WithoutReport(reference.out, 2)) {
            EXPECT_EQ(o.shots, reference.shots);
            what = o.out == WithoutReport(reference.out, 1) ? "report copy, pass 1" : "report copy, pass 2";
        } else {
            // A screenshot file that can't be opened: one warning naming it,
            // that screenshot missing, the run otherwise unchanged.
            std::vector<std::string> got = TestText_Lines(o.out), ref = TestText_Lines(reference.out);
            ASSERT_EQ(got.size(), ref.size() + 1);
            size_t i = 0;
            while (i < ref.size() && got[i] == ref[i]) i++;
            const std::string warn = "flyrate: warning: can't write " + run.shots() + "/frame-";
            ASSERT_EQ(got[i].rfind(warn, 0), 0u) << got[i];
            std::string name = got[i].substr(warn.size() - 6);  // "frame-NNNNN.ppm"
            got.erase(got.begin() + (long)i);
            EXPECT_EQ(got, ref);
            std::string dropped;
            EXPECT_TRUE(MissingOne(o.shots, reference.shots, &dropped));
            EXPECT_NE(dropped.find(":" + name + ":"), std::string::npos) << dropped << " vs " << name;
            what = "screenshot file";
        }
        seen[what]++;
    }

    // Every designed failure was met, each as often as the run allocates it.
    EXPECT_EQ(seen["keyframe table, first allocation"], 1);
    EXPECT_EQ(seen["keyframe table, growth"], 1);
    EXPECT_EQ(seen["frame-time table"], 1);
    EXPECT_GE(seen["script file"], 1);
    EXPECT_EQ(seen["report copy, pass 1"], 1);
    EXPECT_EQ(seen["report copy, pass 2"], 1);
    EXPECT_EQ(seen["capture buffer"], 65);
    EXPECT_GE(seen["screenshot file"], 65);
    std::ostringstream summary;
    for (const auto &kv : seen) summary << "  " << kv.first << ": " << kv.second << "\n";
    printf("allocation sites failed in turn: %ld\n%s", n - 1, summary.str().c_str());
}
