// alloc_faults_test.cpp: a whole run with the n-th allocation failing, for
// every n until a run needs no more allocations than were failed.
//
// This program's malloc, calloc, realloc and free forward to the C
// library's own. While armed (around calls into the plug-in) allocations
// are counted, the chosen one fails, and blocks handed out are tracked until
// freed: one outstanding after the free slot is a leak. The C library's own
// allocations (fopen's FILE, stdio buffers, qsort's scratch) fail in turn
// too. Each failure must end as designed, against the run without one: the
// run never starts ("closing the game", after the can't-open error for the
// script's FILE); a pass's report or a screenshot is missing (with its
// can't-write warning for the screenshot's FILE); or nothing shows.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/support/fakegame.h"
#include "tests/support/files.h"

extern "C" {
extern HostComponent Plugin_Component;
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
void __libc_free(void *p);
}

namespace {

struct Injector {
    bool armed, failed;
    long count, failAt;  // allocations seen while armed; the one to fail, 1-based
    char kind;           // of the failed one: 'm', 'c' or 'r'
    size_t size;
    void *live[1024];    // blocks handed out while armed, not yet freed
    int liveCount;
};
Injector inj;

bool Inject_Fail(char kind, size_t size) {
    if (!inj.armed || ++inj.count != inj.failAt) return false;
    inj.failed = true, inj.kind = kind, inj.size = size;
    errno = ENOMEM;
    return true;
}
void Inject_Track(void *p) {
    if (p && inj.armed) inj.live[inj.liveCount < 1024 ? inj.liveCount++ : 1023] = p;
}
bool Inject_Untrack(void *p) {
    for (int i = 0; i < inj.liveCount; i++) {
        if (inj.live[i] == p) {
            inj.live[i] = inj.live[--inj.liveCount];
            return true;
        }
    }
    return false;
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
    if (p && (Inject_Untrack(old) || inj.armed)) {
        bool armed = inj.armed;
        inj.armed = true;
        Inject_Track(p);
        inj.armed = armed;
    }
    return p;
}
extern "C" void free(void *p) {
    if (p) Inject_Untrack(p);
    __libc_free(p);
}

namespace {

struct Outcome {
    std::string out;                 // everything the plug-in printed
    std::vector<std::string> shots;  // "call:name" of every whole screenshot, as written
    bool failed = false;
    char kind = 0;
    size_t size = 0;
    int closeRequests = 0, leaked = 0;
};

template <typename F>
void Armed(F f) {
    inj.armed = true;
    f();
    inj.armed = false;
}

// A whole run: start-up, map, warm-up, two passes of 64 frames with 33
// keyframes (the table grows once), a screenshot at each, a per-frame log
// on a full disk, shutdown after the close request. Allocation failAt fails.
Outcome Go(long failAt, const std::string &script, const std::string &shots) {
    setenv("FLYRATE", script.c_str(), 1);
    setenv("FLYRATE_SHOTS", shots.c_str(), 1);
    setenv("FLYRATE_PASSES", "2", 1);
    setenv("FLYRATE_CSV", "/dev/full", 1);
    FakeGame_Reset();
    FakeGl_Reset();
    Game.width = 4, Game.height = 3;
    FakeClock_Set(100);
    inj = Injector{};
    inj.failAt = failAt;
    Outcome o;
    Stdout_Take();
    Armed([] { Plugin_Component.Init(); });
    if (bench.state == RunState_Armed) Armed([] { Plugin_Component.OnNewMapLoaded(); });
    for (int call = 0; call < 1000 && fakeGame.closeRequests == 0 && bench.state != RunState_Finished; call++) {
        Armed([] { FakeGame_Frame(0.02); });
        for (const std::string &name : TestDir_List(shots)) {
            std::string data = TestFile_Read(shots + "/" + name);
            if (data.size() == 11 + 36 && data.compare(0, 11, "P6\n4 3\n255\n") == 0)
                o.shots.push_back(std::to_string(call) + ":" + name);
            unlink((shots + "/" + name).c_str());
        }
    }
    Armed([] { Plugin_Component.Free(); });
    o.out = Stdout_Take();
    FakeClock_Release();
    o.failed = inj.failed, o.kind = inj.kind, o.size = inj.size;
    o.closeRequests = fakeGame.closeRequests;
    o.leaked = inj.liveCount;
    inj = Injector{};
    return o;
}

// Lines joined, without the lines of pass p's report (from its per-second
// line to its summary line) when p is given.
std::string Without(const std::vector<std::string> &lines, int p = 0) {
    std::string out;
    int pass = 0;
    bool skipping = false;
    for (const std::string &l : lines) {
        if (l.rfind("flyrate: per-second fps:", 0) == 0 && ++pass == p) skipping = true;
        if (!skipping) out += l + "\n";
        if (l.rfind("flyrate: 64 frames ", 0) == 0) skipping = false;
    }
    return out;
}

TEST(AllocationFaults, EveryAllocationFailingInTurnEndsAsDesigned) {
    std::string text = "# fault injection\nwarmup 0.5 0.25 5\n";
    for (int i = 0; i <= 32; i++) text += std::to_string(i * 2) + " 1 2 3 " + std::to_string(i) + " 0\n";
    std::string script = TestFile_Write(text), shots = TestDir_Make();
    const Outcome reference = Go(0, script, shots);
    ASSERT_EQ(reference.leaked, 0) << "a run without failures leaks";
    // Start-up, map, start, then per pass four report lines and the log's warning.
    ASSERT_EQ(TestText_Lines(reference.out).size(), 13u) << reference.out;
    ASSERT_EQ(reference.shots.size(), 65u);  // frame 0, then 32 keyframes in each pass

    const std::vector<std::string> ref = TestText_Lines(reference.out);
    const std::string closing = "flyrate: closing the game\n", cantOpen = "flyrate: error: can't open " + script + "\n" + closing;
    const std::string designed[] = {reference.out, Without(ref, 1), Without(ref, 2), closing, cantOpen};
    const std::string warn = "flyrate: warning: can't write " + shots + "/";
    std::map<std::string, int> seen;
    long n = 1;
    for (Outcome o; (o = Go(n, script, shots)).failed; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " (" + o.kind + ", " + std::to_string(o.size) +
                     " bytes) failed; output:\n" + o.out);
        EXPECT_EQ(o.leaked, 0) << "blocks outstanding after the free slot";
        EXPECT_EQ(o.closeRequests, 1) << "the game must be asked to close exactly once";
        std::vector<std::string> missing = reference.shots, out = TestText_Lines(o.out);
        for (const std::string &shot : o.shots) {
            auto it = std::find(missing.begin(), missing.end(), shot);
            ASSERT_NE(it, missing.end()) << "a screenshot the reference lacks: " << shot;
            missing.erase(it);
        }
        // A screenshot's FILE: one warning naming the one screenshot missing.
        auto warning = std::find_if(out.begin(), out.end(), [&](const std::string &l) { return l.rfind(warn, 0) == 0; });
        bool warned = warning != out.end();
        if (warned) {
            ASSERT_EQ(missing.size(), 1u);
            EXPECT_EQ(warning->substr(warn.size()), missing[0].substr(missing[0].find(':') + 1));
            out.erase(warning);
        }
        // The per-frame chunk counts: a warning first, and the run goes on.
        bool noChunks = !out.empty() && out[0] == "flyrate: warning: no memory for per-frame chunk counts: /dev/full gets no chunks column";
        if (noChunks) out.erase(out.begin());
        // Otherwise the reference, less one pass's report (no screenshot
        // missing) or one screenshot; or the run never started.
        std::string rest = Without(out);
        ASSERT_NE(std::find(std::begin(designed), std::end(designed), rest), std::end(designed));
        bool reportLost = rest == Without(ref, 1) || rest == Without(ref, 2);
        EXPECT_TRUE(rest == reference.out ? missing.size() <= 1 : !reportLost || missing.empty());
        seen[rest == closing    ? "a table"
             : noChunks         ? "the chunk counts"
             : rest == cantOpen ? "the script's FILE"
             : warned           ? "a screenshot's FILE"
             : !missing.empty() ? "a capture buffer"
             : rest != reference.out ? "a report's copy" : "nothing visible"]++;
    }
    EXPECT_EQ(Go(n, script, shots).out, reference.out) << "a run with more allocations to spare than it needs";
    // Every designed failure was met, as often as the run allocates it.
    EXPECT_EQ(seen["a table"], 3);  // the keyframe table, its growth, the frame times
    EXPECT_EQ(seen["the chunk counts"], 1);
    EXPECT_GE(seen["the script's FILE"], 1);
    EXPECT_EQ(seen["a report's copy"], 2);
    EXPECT_EQ(seen["a capture buffer"], 65);
    EXPECT_GE(seen["a screenshot's FILE"], 65);
    for (const auto &kv : seen) printf("%s: %d\n", kv.first.c_str(), kv.second);
    unlink(script.c_str());
    TestDir_Remove(shots);
}

// A recording of 5000 frames (its sample table grows once) with the n-th
// allocation failing: no memory for samples stops the recording where it
// is, with one warning; the file's FILE fails its writing with one warning.
// Either way nothing but a whole script is left in the directory.
TEST(AllocationFaults, RecordingEndsAsDesigned) {
    std::string dir = TestDir_Make(), file = dir + "/flight.txt";
    std::map<std::string, int> seen;
    std::string reference;
    for (long n = 0;; n++) {
        unsetenv("FLYRATE"), unsetenv("FLYRATE_CSV"), unsetenv("FLYRATE_SHOTS");
        setenv("FLYRATE_RECORD", file.c_str(), 1);
        FakeGame_Reset();
        inj = Injector{};
        inj.failAt = n;
        Stdout_Take();
        Armed([] { Plugin_Component.Init(); });
        Armed([] { Plugin_Component.OnNewMapLoaded(); });
        for (int f = 0; f < 5000; f++) {
            fakeGame.position = Vec3{f * 0.1f, 60 + (f / 700) * 3.0f, 0};
            Armed([] { FakeGame_Frame(1.0 / 60); });
        }
        Armed([] { Plugin_Component.Free(); });
        std::string out = Stdout_Take();
        bool failed = inj.failed;
        EXPECT_EQ(inj.liveCount, 0) << "leaked, allocation " << n;
        inj = Injector{};
        if (n == 0) {
            reference = out;
            unlink(file.c_str());
            continue;
        }
        if (!failed) break;
        std::vector<std::string> lines = TestText_Lines(out), files = TestDir_List(dir);
        ASSERT_GE(lines.size(), 2u) << out;
        bool written = lines.back().rfind("flyrate: recorded ", 0) == 0;
        EXPECT_EQ(files, written ? std::vector<std::string>{"flight.txt"} : std::vector<std::string>{}) << out;
        EXPECT_TRUE(!written || TestFile_Read(file).rfind("# flyrate recording: ", 0) == 0);
        seen[out == reference ? "nothing visible"
             : lines[1].rfind("flyrate: warning: out of memory after ", 0) == 0 ? lines[1]
             : lines.back() == "flyrate: warning: can't write " + file ? "the file" : "unexpected:\n" + out]++;
        unlink(file.c_str());
    }
    EXPECT_EQ(seen["flyrate: warning: out of memory after 0 frames: the recording stops there"], 1);
    EXPECT_EQ(seen["flyrate: warning: out of memory after 4096 frames: the recording stops there"], 1);
    EXPECT_GE(seen["the file"], 1);
    for (const auto &kv : seen) printf("%s: %d\n", kv.first.c_str(), kv.second);
    EXPECT_EQ(seen.size(), 4u);
    TestDir_Remove(dir);
}

}  // namespace
