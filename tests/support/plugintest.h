// plugintest.h: the fixture of every unit test: the fake game and the
// plug-in at start-up, the clock controlled, the plug-in's variables unset
// (before and after, so a test that stops early leaves none behind), and
// what the plug-in prints caught.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/fakegame.h"
#include "tests/support/files.h"

extern "C" HostComponent Plugin_Component;

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        TearDown();
        FakeClock_Set(100.0);
    }
    void TearDown() override {
        FakeClock_Release();
        FakeGame_Reset();
        FakeGl_Reset();
        ClearEnvironment();
        for (const std::string &file : files) unlink(file.c_str());
        files.clear();
        Stdout_Take();
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
    // The game starts with FLYRATE naming a script of this text.
    std::string Start(const std::string &script) {
        std::string path = Scratch(script);
        setenv("FLYRATE", path.c_str(), 1);
        Plugin_Component.Init();
        return path;
    }
    // What the plug-in printed since the last look.
    std::string OutText() { return Stdout_Take(); }
    std::vector<std::string> Out() { return TestText_Lines(Stdout_Take()); }
    // Frames of `seconds` until the plug-in asks the game to close.
    void RunToClose(double seconds) {
        for (int n = 0; fakeGame.closeRequests == 0 && n < 100000; n++) FakeGame_Frame(seconds);
    }

    std::vector<std::string> files;
};
