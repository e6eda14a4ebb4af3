// plugintest.h: every unit test's fixture: the fake game and the plug-in at
// start-up, the clock controlled, the plug-in's variables unset (before and
// after), what the plug-in prints caught.
#pragma once

#include <ctype.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "tests/support/fakegame.h"
#include "tests/support/files.h"

extern "C" HostComponent Plugin_Component;

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        PluginTest::TearDown();
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
        for (const char *name : {"FLYRATE", "FLYRATE_SHOTS", "FLYRATE_PASSES", "FLYRATE_CSV", "FLYRATE_RECORD", "FLYRATE_GPU"})
            unsetenv(name);
    }
    std::string Scratch(const std::string &text) {  // a scratch file, removed after the test
        files.push_back(TestFile_Write(text));
        return files.back();
    }
    std::string Start(const std::string &script) {  // the game starts, FLYRATE naming this script
        std::string path = Scratch(script);
        setenv("FLYRATE", path.c_str(), 1);
        Plugin_Component.Init();
        return path;
    }
    std::string OutText() { return Stdout_Take(); }  // printed since the last look
    std::vector<std::string> Out() { return TestText_Lines(Stdout_Take()); }
    // The game's doings in order, each letter after an optional count: m
    // the map loads; f a frame of dt seconds; b a frame that builds a chunk;
    // s the game makes its other camera active; q it shuts down.
    void Play(const char *events, double dt = 0.25) {
        for (const char *e = events; *e; e++) {
            long n = isdigit(*e) ? strtol(e, (char **)&e, 10) : 1;
            for (long i = 0; i < n; i++) {
                if (*e == 'm') Plugin_Component.OnNewMapLoaded();
                if (*e == 'b') Game.chunkUpdates++;
                if (*e == 'f' || *e == 'b') FakeGame_Frame(dt);
                if (*e == 's') Camera.active = &fakeGame.otherCamera;
                if (*e == 'q') Plugin_Component.Free();
            }
        }
    }

    // f() with a file-size limit standing in for a full disk: writes past it fail.
    template <typename F>
    static auto DiskFullAfter(rlim_t bytes, F f) {
        rlimit old, small;
        getrlimit(RLIMIT_FSIZE, &old);
        small = {bytes, old.rlim_max};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
        auto result = f();
        setrlimit(RLIMIT_FSIZE, &old);
        return result;
    }

    std::vector<std::string> files;
};
