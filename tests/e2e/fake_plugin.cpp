// fake_plugin.cpp: libraries the game must refuse to run as plug-ins.
//
// Built twice: once without Plugin_ApiVersion (version 0 here) and once
// declaring interface version 2. Both export a component whose slots would
// announce themselves if the game ever called them.
#include <stdint.h>
#include <unistd.h>

#include "plugin/host.h"

static void Fake_Init(void) {
    static const char text[] = "fake plug-in: initialised\n";
    (void)!write(1, text, sizeof text - 1);
}

extern "C" {
#if FAKE_PLUGIN_VERSION != 0
__attribute__((visibility("default"))) int32_t Plugin_ApiVersion = FAKE_PLUGIN_VERSION;
#endif
__attribute__((visibility("default"))) HostComponent Plugin_Component = {Fake_Init, nullptr, nullptr,
                                                                        nullptr,   nullptr, nullptr};
}
