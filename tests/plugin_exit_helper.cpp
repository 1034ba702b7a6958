// A host that leaves without saying goodbye: loads the plug-in, initializes
// it, asks for one emblem and returns from main without
// dfm_extension_shutdown and without dlclose. The plug-in's threads must be
// ended by its own clean-up at process exit.
//
//   plugin_exit_helper PLUGIN PATH [WAIT_MS]
//
// With WAIT_MS it asks again until an emblem shows or WAIT_MS passed.
// Prints "emblem NAME" ("-" for none) and "returning" on stdout.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "dfmext_loader/plugin_loader.h"

namespace {
// Never destroyed: the host leaves with the plug-in loaded. A global, so that
// the leak checker still sees it reachable at exit.
dfmext::host::PluginLoader* gPlugin = nullptr;
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PLUGIN PATH [WAIT_MS]\n", argv[0]);
        return 2;
    }
    gPlugin = new dfmext::host::PluginLoader();
    dfmext::host::PluginLoader* const plugin = gPlugin;
    std::string error;
    if (!plugin->load(argv[1], error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 3;
    }
    plugin->initialize();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(argc > 3 ? std::atoi(argv[3]) : 0);
    std::string shown = "-";
    for (;;) {
        const dfmext::DFMExtEmblem emblem = plugin->emblemPlugin()->requestEmblem(argv[2], 0);
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
