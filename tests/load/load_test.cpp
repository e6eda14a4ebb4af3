// Loads the built flyrate.so as the game does: dlopen() with every symbol
// bound at once, in a process that exports the game's records (linked with
// -rdynamic). Checks the two exported symbols, that nothing else is visible,
// and that the plug-in really binds to this process's records.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "plugin/host.h"
#include "tests/support/capture.h"
#include "tests/support/fakehost.h"

#ifdef FLYRATE_LOAD_OWN_GL
#include <GL/gl.h>

// This program has no OpenGL library: it provides the two functions the
// plug-in's frame capture needs, as a game linked statically to GL would.
extern "C" {
void glPixelStorei(GLenum pname, GLint param) {
    (void)pname;
    (void)param;
}
void glReadPixels(GLint x, GLint y, GLsizei width, GLsizei height, GLenum format, GLenum type, void *pixels) {
    (void)x, (void)y, (void)width, (void)height, (void)format, (void)type, (void)pixels;
}
}
#endif

namespace {

void *plugin;

class PluginLoad : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        FakeHost_Reset();
        plugin = dlopen(FLYRATE_SO, RTLD_NOW | RTLD_LOCAL);
        if (!plugin) loadError = dlerror();
    }
    static void TearDownTestSuite() {
        if (plugin) dlclose(plugin);
        plugin = nullptr;
    }
    void SetUp() override { ASSERT_NE(plugin, nullptr) << FLYRATE_SO << ": " << loadError; }

    static std::string loadError;
};
std::string PluginLoad::loadError;

TEST_F(PluginLoad, ExportsApiVersionOne) {
    auto *version = (const int32_t *)dlsym(plugin, "Plugin_ApiVersion");
    ASSERT_NE(version, nullptr) << dlerror();
    EXPECT_EQ(*version, 1);
}

TEST_F(PluginLoad, ExportsTheComponentWithItsSixSlots) {
    auto *component = (const HostComponent *)dlsym(plugin, "Plugin_Component");
    ASSERT_NE(component, nullptr) << dlerror();
    EXPECT_NE(component->Init, nullptr);
    EXPECT_NE(component->Free, nullptr);
    EXPECT_EQ(component->Reset, nullptr);
    EXPECT_EQ(component->OnNewMap, nullptr);
    EXPECT_NE(component->OnNewMapLoaded, nullptr);
    EXPECT_EQ(component->Next, nullptr);
    EXPECT_NE(component->Init, component->Free);
    EXPECT_NE(component->Init, component->OnNewMapLoaded);
    EXPECT_NE(component->Free, component->OnNewMapLoaded);
}

TEST_F(PluginLoad, KeepsEverythingElseLocal) {
    // Neither the state record nor any function can collide with the game's
    // or another plug-in's names.
    for (const char *name : {"bench", "_Z10Bench_Initv", "_Z10Bench_Freev", "_Z14Keyframes_LoadPKc",
                             "_Z11Path_Samplei", "_Z9Bench_LogPKcz", "_Z17Host_RequestClosev"}) {
        EXPECT_EQ(dlsym(plugin, name), nullptr) << name;
    }
}

#ifdef FLYRATE_LOAD_OWN_GL
TEST_F(PluginLoad, BindsOpenGLToTheProgramsOwnFunctions) {
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "glReadPixels"), (void *)&glReadPixels);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "glPixelStorei"), (void *)&glPixelStorei);
}
#else
TEST_F(PluginLoad, BindsOpenGLToTheSystemLibrary) {
    EXPECT_NE(dlsym(RTLD_DEFAULT, "glReadPixels"), nullptr);
    EXPECT_NE(dlsym(RTLD_DEFAULT, "glPixelStorei"), nullptr);
}
#endif

TEST_F(PluginLoad, DrivesThisProcesssRecords) {
    // Start-up claims a hook slot in our Game, a map load puts the scripted
    // camera into our Camera, and shutdown gives both back.
    auto *component = (const HostComponent *)dlsym(plugin, "Plugin_Component");
    ASSERT_NE(component, nullptr);
    FakeHost_Reset();
    Game.Draw2DHooks[0] = [](double) {};  // taken by someone else
    std::string script = TestFile_Write("0 1 2 3 0 0\n10 11 12 13 90 0\n");
    setenv("FLYRATE", script.c_str(), 1);
    unsetenv("FLYRATE_SHOTS");
    unsetenv("FLYRATE_PASSES");

    StdoutCapture_Begin();
    component->Init();
    std::string out = StdoutCapture_End();
    EXPECT_EQ(out, "flyrate: " + script + ": 2 keyframes, 10 frames; warm-up 2-30 s, 1 s without chunk builds\n");
    EXPECT_NE(Game.Draw2DHooks[1], nullptr);

    component->OnNewMapLoaded();
    HostCamera *scripted = Camera.active;
    ASSERT_NE(scripted, &fakeHost.hostCamera);
    ASSERT_NE(scripted, nullptr);
    EXPECT_EQ(scripted->flag, 0);
    Vec3 p = scripted->GetPosition(0.0f);
    EXPECT_EQ(p.x, 1.0f);
    EXPECT_EQ(p.y, 2.0f);
    EXPECT_EQ(p.z, 3.0f);
    EXPECT_EQ(Camera.matrix[0], 1.0f);

    StdoutCapture_Begin();
    component->Free();
    out = StdoutCapture_End();
    EXPECT_EQ(out, "flyrate: the game closed before the end (frame 0 of 10, pass 1 of 1)\n");
    EXPECT_EQ(Camera.active, &fakeHost.hostCamera);
    EXPECT_EQ(Game.Draw2DHooks[1], nullptr);
    EXPECT_NE(Game.Draw2DHooks[0], nullptr);
    unsetenv("FLYRATE");
    unlink(script.c_str());
}

}  // namespace
