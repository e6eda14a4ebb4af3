// The per-frame CSV log: every frame of every completed pass, the first
// pass truncating and later ones appending; a file that can't be written
// (or a full disk) warns once per pass, and the run goes on unchanged.
#include <map>

#include "tests/support/plugintest.h"

namespace {

class CsvLog : public PluginTest {
protected:
    // A run of `passes` passes over frames 0..last, with FLYRATE_CSV = csv
    // (null: unset), quitting after `calls` hook calls if given. Frame k of
    // pass p takes (10 p + k) ms and builds k % 3 chunks. Returns what the
    // plug-in printed.
    std::string Run(int passes, int last, const char *csv, int calls = -1) {
        FakeGame_Reset();
        FakeClock_Set(100.0);
        ClearEnvironment();
        if (csv) setenv("FLYRATE_CSV", csv, 1);
        setenv("FLYRATE_PASSES", std::to_string(passes).c_str(), 1);
        setenv("FLYRATE", Script(last).c_str(), 1);
        Plugin_Component.Init();
        Plugin_Component.OnNewMapLoaded();
        FakeGame_Frame(0);  // settled at once: the run starts
        for (int i = 0; i < passes * last && i != calls; i++) {
            Game.chunkUpdates += (i % last + 1) % 3;
            FakeGame_Frame((i / last * 10 + 10 + i % last + 1) / 1000.0);
        }
        Plugin_Component.Free();
        return OutText();
    }
    // One script per length, so every run prints the same start-up line.
    std::string Script(int last) {
        std::string &path = scripts[last];
        if (path.empty()) path = Scratch("warmup 0 0 1\n0 0 0 0 0 0\n" + std::to_string(last) + " 8 0 0 0 0\n");
        return path;
    }
    std::map<int, std::string> scripts;
};

// The lines with the warning after each pass's summary line.
std::string WithWarnings(const std::string &plain, const std::string &file) {
    std::string out;
    for (const std::string &line : TestText_Lines(plain)) {
        out += line + "\n";
        if (line.find(" frames ") != std::string::npos) out += "flyrate: warning: can't write " + file + "\n";
    }
    return out;
}

TEST_F(CsvLog, RowsHoldEveryFrameOfEveryCompletedPass) {
    std::string dir = TestDir_Make(), csv = dir + "/frames.csv";
    std::string expected = "pass,frame,frame_ms,chunks\n";
    for (int p = 1; p <= 3; p++) {
        for (int k = 1; k <= 4; k++)
            expected += std::to_string(p) + "," + std::to_string(k) + "," + std::to_string(p * 10 + k) + ".000000," + std::to_string(k % 3) + "\n";
    }
    // The log changes nothing the plug-in prints.
    EXPECT_EQ(Run(3, 4, csv.c_str()), Run(3, 4, nullptr));
    EXPECT_EQ(TestFile_Read(csv), expected);
    Run(1, 4, csv.c_str());  // the first pass truncates
    EXPECT_EQ(TestFile_Read(csv), expected.substr(0, expected.find("2,1,")));
    // A pass cut short writes nothing.
    unlink(csv.c_str());
    Run(2, 4, csv.c_str(), 3);
    EXPECT_EQ(TestDir_List(dir).size(), 0u);
    TestDir_Remove(dir);
}

TEST_F(CsvLog, AFileThatCantBeWrittenWarnsOncePerPass) {
    // A missing directory fails at the open; on a full disk rows that fit
    // the stream's buffer fail at the close, and more rows fail on the way.
    for (const char *file : {"/nonexistent/frames.csv", "/dev/full"}) {
        for (int last : {4, 2000}) {
            SCOPED_TRACE(std::string(file) + ", frames " + std::to_string(last));
            std::string plain = Run(2, last, nullptr);
            EXPECT_EQ(Run(2, last, file), WithWarnings(plain, file));
            EXPECT_EQ(fakeGame.closeRequests, 1);
        }
    }
}

}  // namespace
