// The log line: one write per line, cut at 1022 characters, nothing when
// the text can't be formatted. Every test catches descriptor 1 without
// flushing stdio, so each one also shows the log bypasses stdio's buffer.
#include <wchar.h>

#include "tests/support/plugintest.h"

namespace {

using BenchLog = PluginTest;

TEST_F(BenchLog, KeepsAtMost1022CharactersAndAddsTheNewline) {
    for (size_t len : {10u, 1021u, 1022u, 1023u, 1024u, 5000u}) {
        std::string text = "flyrate: " + std::string(len - 9, 'x');
        Bench_Log("%s", text.c_str());
        EXPECT_EQ(OutText(), text.substr(0, std::min(len, (size_t)1022)) + "\n") << len;
    }
    Bench_Log("flyrate: %d keyframes, %s", 3, "ok");
    // A wide character the C locale can't encode makes formatting fail.
    Bench_Log("flyrate: %lc", (wint_t)0x100);
    EXPECT_EQ(OutText(), "flyrate: 3 keyframes, ok\n");
}

}  // namespace
