// alloc_faults_test.cpp: whole runs (a two-pass benchmark with screenshots,
// the log and GPU times; a recording) with the n-th allocation failing, for every n
// until a run needs fewer. While armed (around calls into the plug-in) this
// program's allocator counts, fails the chosen one (the C library's own
// too: FILEs, stdio buffers) and tracks blocks until freed. Each failure
// must end as designed: nothing leaked, the game asked to close as often,
// every line added one of the designed ones, each of which is met.
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
    long count, failAt;  // allocations seen while armed; the one to fail, from 1
    void *live[1024];    // blocks handed out while armed, not yet freed
    int liveCount;
} inj;

bool Inject_Fail(void) {
    if (!inj.armed || ++inj.count != inj.failAt) return false;
    errno = ENOMEM;
    return inj.failed = true;
}
void *Inject_Track(void *p) {
    if (p && inj.armed) inj.live[inj.liveCount < 1024 ? inj.liveCount++ : 1023] = p;
    return p;
}
bool Inject_Untrack(void *p) {
    auto it = std::find(inj.live, inj.live + inj.liveCount, p);
    if (it == inj.live + inj.liveCount) return false;
    *it = inj.live[--inj.liveCount];
    return true;
}

}  // namespace

extern "C" void *malloc(size_t size) { return Inject_Fail() ? nullptr : Inject_Track(__libc_malloc(size)); }
extern "C" void *calloc(size_t n, size_t size) { return Inject_Fail() ? nullptr : Inject_Track(__libc_calloc(n, size)); }
extern "C" void *realloc(void *old, size_t size) {
    if (Inject_Fail()) return nullptr;  // the old block stays as it was
    void *p = __libc_realloc(old, size);
    bool armed = inj.armed;
    inj.armed = p && (Inject_Untrack(old) || armed);  // a tracked block stays tracked
    Inject_Track(p);
    inj.armed = armed;
    return p;
}
extern "C" void free(void *p) {
    if (p) Inject_Untrack(p);
    __libc_free(p);
}

namespace {

struct Outcome {
    std::vector<std::string> out, files;  // lines printed; "call:name" of each whole file written
    bool failed;
    int closes, leaked;
};

// The game runs until the plug-in asks it to close (or 5000 frames) with
// allocation failAt failing; the files written are taken from dir after
// each frame and after the free slot.
Outcome Go(long failAt, const std::string &dir) {
    FakeGame_Reset();
    FakeGl_Reset();
    Game.width = 4, Game.height = 3;
    FakeClock_Set(100);
    inj = Injector{};
    inj.failAt = failAt;
    Stdout_Take();
    Outcome o = {};
    auto Armed = [](auto f) { inj.armed = true, f(), inj.armed = false; };
    auto take = [&](int call) {
        for (const std::string &name : TestDir_List(dir)) {
            std::string data = TestFile_Read(dir + "/" + name);
            if (data.size() == 47 || data.rfind("# flyrate recording", 0) == 0) o.files.push_back(std::to_string(call) + ":" + name);
            unlink((dir + "/" + name).c_str());
        }
    };
    Armed([] { Plugin_Component.Init(); });
    Armed([] { Plugin_Component.OnNewMapLoaded(); });
    for (int call = 0; call < 5000 && !fakeGame.closeRequests; call++) {
        fakeGame.position.x = (float)(call * call);
        Armed([] { FakeGame_Frame(0.02); });
        take(call);
    }
    Armed([] { Plugin_Component.Free(); });
    take(-1);
    o.out = TestText_Lines(Stdout_Take());
    FakeClock_Release();
    o.failed = inj.failed, o.closes = fakeGame.closeRequests, o.leaked = inj.liveCount;
    inj = Injector{};
    return o;
}

TEST(AllocationFaults, EveryAllocationFailingInTurnEndsAsDesigned) {
    std::string text = "# 33 keyframes: the table grows once\nwarmup 0.5 0.25 5\n";
    for (int i = 0; i <= 32; i++) text += std::to_string(i * 2) + " 1 2 3 " + std::to_string(i) + " 0\n";
    std::string script = TestFile_Write(text), dir = TestDir_Make(), recording = dir + "/flight.txt";
    struct Mode {
        const char *flyrate, *record;
        std::vector<std::string> designed;  // a line a failure adds, and what fails
    } modes[] = {
        {script.c_str(), nullptr, {"flyrate: closing the game", "flyrate: error: can't open " + script,
                                   "flyrate: warning: can't write " + dir + "/frame-",
                                   "flyrate: warning: no memory for per-frame chunk counts: /dev/full gets no chunks column",
                                   "flyrate: warning: no memory for GPU times: the run goes on without them"}},
        {nullptr, recording.c_str(), {"flyrate: warning: out of memory after 0 frames",
                                      "flyrate: warning: 0 frames recorded, a script needs two",
                                      "flyrate: warning: out of memory after 4096 frames",
                                      "flyrate: recorded 4096 frames as "}},  // the files are written without allocating
    };
    for (const Mode &m : modes) {
        SCOPED_TRACE(m.flyrate ? "benchmark" : "recording");
        m.flyrate ? setenv("FLYRATE", m.flyrate, 1) : unsetenv("FLYRATE");
        m.record ? setenv("FLYRATE_RECORD", m.record, 1) : unsetenv("FLYRATE_RECORD");
        setenv("FLYRATE_SHOTS", dir.c_str(), 1);
        setenv("FLYRATE_PASSES", "2", 1);
        setenv("FLYRATE_CSV", "/dev/full", 1);  // a full disk: one warning a pass
        setenv("FLYRATE_GPU", "1", 1);          // the fake GL's timer queries
        const Outcome reference = Go(0, dir);
        ASSERT_EQ(reference.leaked, 0) << "a run without failures leaks";
        std::map<std::string, int> seen;
        long n = 1;
        for (Outcome o; (o = Go(n, dir)).failed; n++) {
            SCOPED_TRACE("allocation " + std::to_string(n) + " failed; output:\n" + Lines(o.out));
            EXPECT_EQ(o.leaked, 0) << "blocks outstanding after the free slot";
            EXPECT_EQ(o.closes, reference.closes);
            for (const std::string &shot : o.files)
                EXPECT_TRUE(std::count(reference.files.begin(), reference.files.end(), shot)) << shot;
            for (const std::string &line : o.out) {
                if (std::count(reference.out.begin(), reference.out.end(), line)) continue;
                auto d = std::find_if(m.designed.begin(), m.designed.end(), [&](const std::string &p) { return !line.rfind(p, 0); });
                EXPECT_NE(d, m.designed.end()) << line;
                if (d != m.designed.end()) seen[*d]++;
            }
            // Lost silently: a screenshot (its buffer), or a pass's report (its copy).
            if (o.out.size() + 5 == reference.out.size()) seen["a report"]++;
            if (o.out == reference.out && o.files.size() + 1 == reference.files.size()) seen["a screenshot"]++;
        }
        EXPECT_EQ(Lines(Go(n, dir).out), Lines(reference.out)) << "more allocations to spare than the run needs";
        for (const std::string &d : m.designed) EXPECT_GE(seen[d], 1) << d;
        EXPECT_EQ(seen["a report"], m.flyrate ? 2 : 0);
        EXPECT_EQ(seen["a screenshot"], m.flyrate ? 65 : 0);  // frame 0, then 32 keyframes a pass
    }
    unlink(script.c_str());
    TestDir_Remove(dir);
}

// Without memory for the chunk counts the log keeps every pass's rows, in
// the form without the column.
TEST(AllocationFaults, WithoutChunkCountsTheLogKeepsItsRows) {
    std::string script = TestFile_Write("warmup 0.5 0.25 5\n0 1 2 3 0 0\n3 1 2 3 9 0\n"), csv = TestFile_Write(""), dir = TestDir_Make();
    const std::string warning = "flyrate: warning: no memory for per-frame chunk counts: " + csv + " gets no chunks column";
    setenv("FLYRATE", script.c_str(), 1);
    setenv("FLYRATE_PASSES", "2", 1);
    setenv("FLYRATE_CSV", csv.c_str(), 1);
    unsetenv("FLYRATE_SHOTS"), unsetenv("FLYRATE_RECORD");
    Outcome o;
    for (long n = 1; (o = Go(n, dir)).failed && !std::count(o.out.begin(), o.out.end(), warning); n++) {}
    ASSERT_TRUE(o.failed) << "no allocation failure left the counts out";
    std::string rows = "pass,frame,frame_ms\n";
    for (const char *pass : {"1,", "2,"})
        for (const char *frame : {"1", "2", "3"}) rows += pass + std::string(frame) + ",20.000000\n";
    EXPECT_EQ(TestFile_Read(csv), rows);
    unlink(script.c_str()), unlink(csv.c_str());
    TestDir_Remove(dir);
}

}  // namespace
