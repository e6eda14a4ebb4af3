// plugintest.h: the fixture of every unit test: the fake game and the
// plug-in at start-up, the clock controlled, the plug-in's variables unset
// (before and after, so a test that stops early leaves none behind), and
// descriptor 1 caught for the whole test.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "plugin/bench.h"
#include "tests/support/fakegame.h"
#include "tests/support/files.h"

extern "C" HostComponent Plugin_Component;

// Google Test reports through stdio's stdout; the plug-in writes straight
// to descriptor 1, which each test catches. stdout gets a descriptor of its
// own, so the report stays out of the catch (and a log line that went
// through stdio would miss it).
inline FILE *const kTestReport = (stdout = fdopen(dup(1), "w"));

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearEnvironment();
        FakeGame_Reset();
        FakeGl_Reset();
        FakeClock_Set(100.0);
        StdoutCapture_Begin();
    }
    void TearDown() override {
        StdoutCapture_End();
        FakeClock_Release();
        FakeGame_Reset();
        ClearEnvironment();
        for (const std::string &file : files) unlink(file.c_str());
    }
    static void ClearEnvironment() {
        for (const char *name : {"FLYRATE", "FLYRATE_SHOTS", "FLYRATE_PASSES", "FLYRATE_CSV", "FLYRATE_RECORD"})
            unsetenv(name);
    }

    // A scratch file holding text, removed after the test.
    std::string Scratch(const std::string &text) {
        files.push_back(TestFile_Write(text));
        return files.back();
    }
    // The game loads the plug-in with FLYRATE naming a script of this text.
    std::string Start(const std::string &script) {
        std::string path = Scratch(script);
        setenv("FLYRATE", path.c_str(), 1);
        Plugin_Component.Init();
        return path;
    }
    // The lines the plug-in printed since the last call.
    std::vector<std::string> Out() { return TestText_Lines(OutText()); }
    std::string OutText() {
        std::string text = StdoutCapture_End();
        StdoutCapture_Begin();
        return text;
    }
    // Frames of `seconds` each until the plug-in has asked the game to
    // close (or a limit is reached); returns how many ran.
    int RunToClose(double seconds, int limit = 100000) {
        int n = 0;
        while (fakeGame.closeRequests == 0 && n < limit) FakeGame_Frame(seconds), n++;
        return n;
    }

    std::vector<std::string> files;
};
