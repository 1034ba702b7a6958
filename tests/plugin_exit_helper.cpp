// A host that leaves without saying goodbye: loads the plug-in, initializes
// it, asks for one emblem and returns from main without
// dfm_extension_shutdown and without dlclose. The plug-in's threads must be
// ended by its own clean-up at process exit.
//
//   plugin_exit_helper PLUGIN PATH [WAIT_MS]
//
// With WAIT_MS it asks again until an emblem shows or WAIT_MS passed.
// Prints "emblem NAME" ("-" for none) and "returning" on stdout.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "dfmext/emblem.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PLUGIN PATH [WAIT_MS]\n", argv[0]);
        return 2;
    }
    void* handle = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
        return 3;
    }
    using InitializeFn = void (*)();
    using EmblemFn = dfmext::DFMExtEmblemIconPlugin* (*)();
    auto initialize = reinterpret_cast<InitializeFn>(::dlsym(handle, "dfm_extension_initialize"));
    auto emblemPlugin = reinterpret_cast<EmblemFn>(::dlsym(handle, "dfm_extension_emblem"));
    if (initialize == nullptr || emblemPlugin == nullptr) {
        return 4;
    }
    initialize();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(argc > 3 ? std::atoi(argv[3]) : 0);
    std::string shown = "-";
    for (;;) {
        const dfmext::DFMExtEmblem emblem = emblemPlugin()->requestEmblem(argv[2], 0);
        if (!emblem.emblems().empty()) {
            shown = emblem.emblems().front().iconPath();
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::printf("emblem %s\nreturning\n", shown.c_str());
    std::fflush(stdout);
    return 0;
}
