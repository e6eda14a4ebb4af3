// loader.cpp: loading a plug-in library the way the game does.
//
// The game binds every symbol at load time (RTLD_NOW), so a plug-in that
// refers to something the game does not export fails here rather than in
// the middle of a frame. Only a library that declares interface version 1
// and exports a component record is accepted.
#include <dlfcn.h>
#include <stdio.h>

#include "standin/standin.h"

int Loader_Open(const char *path, StandinPlugin *plugin) {
    plugin->handle = nullptr;
    plugin->component = nullptr;
    void *handle = dlopen(path, RTLD_NOW);
    if (!handle) {
        fprintf(stderr, "standin: can't load plug-in %s: %s\n", path, dlerror());
        return 0;
    }
    const int32_t *version = (const int32_t *)dlsym(handle, "Plugin_ApiVersion");
    if (!version) {
        fprintf(stderr, "standin: %s is not a plug-in: no Plugin_ApiVersion\n", path);
        dlclose(handle);
        return 0;
    }
    if (*version != 1) {
        fprintf(stderr, "standin: %s has plug-in interface version %d; this game only loads version 1\n", path,
                (int)*version);
        dlclose(handle);
        return 0;
    }
    HostComponent *component = (HostComponent *)dlsym(handle, "Plugin_Component");
    if (!component) {
        fprintf(stderr, "standin: %s is not a plug-in: no Plugin_Component\n", path);
        dlclose(handle);
        return 0;
    }
    plugin->handle = handle;
    plugin->component = component;
    return 1;
}

void Loader_Close(StandinPlugin *plugin) {
    if (plugin->handle) dlclose(plugin->handle);
    plugin->handle = nullptr;
    plugin->component = nullptr;
}
