// The plug-in loaded into this process with dlopen, driven through its four
// entry points the way the file manager drives it, and a few counters of this
// process's resources (threads, descriptors, peak memory) to compare before
// and after.
//
// Thread safety: load, initialize, shutdown and unload belong to one thread
// (the "host's" thread of the test); emblem() may be called from several
// threads at once between initialize and shutdown, as a host does.
#ifndef TARNWELL_TESTS_SUPPORT_PLUGIN_HARNESS_H_
#define TARNWELL_TESTS_SUPPORT_PLUGIN_HARNESS_H_

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <list>
#include <string>

#include "dfmext/emblem.h"
#include "dfmext/menu.h"
#include "dfmext_loader/plugin_loader.h"
#include "protocol/vocabulary.h"
#include "support/ui_tables.h"

namespace tarnwell::test {

// The plug-in's fixed endpoints on 127.0.0.1.
inline constexpr std::uint16_t kDaemonPort = tarnwell::protocol::kCommandPort;
inline constexpr std::uint16_t kNotifyPort = tarnwell::protocol::kNotifyPort;

// The emblem icon of each status 0 to 3.
inline std::string iconFor(int status) {
    return statusIcon(status);
}

class LoadedPlugin {
public:
    LoadedPlugin() { loader_.load(TARNWELL_PLUGIN_PATH, error_); }

    bool ok() const { return loader_.loaded(); }
    const std::string& error() const { return error_; }

    void initialize() { loader_.initialize(); }
    void shutdown() { loader_.shutdown(); }
    dfmext::DFMExtEmblemIconPlugin* emblemPlugin() const { return loader_.emblemPlugin(); }
    dfmext::DFMExtMenuPlugin* menuPlugin() const { return loader_.menuPlugin(); }

    // The icon name the host would draw for `path`, or "" for no emblem.
    std::string emblem(const std::string& path, int systemIconCount = 0) const {
        const dfmext::DFMExtEmblemIconPlugin* plugin = loader_.emblemPlugin();
        if (plugin == nullptr) {
            return "<no plugin>";
        }
        const dfmext::DFMExtEmblem result = plugin->requestEmblem(path, systemIconCount);
        if (result.emblems().empty()) {
            return "";
        }
        if (result.emblems().size() != 1) {
            return "<several>";
        }
        return result.emblems().front().iconPath();
    }

    // Initializes the menu with `proxy` and builds the context menu of one
    // selected `path` into a new main menu, which is returned (null without a
    // menu plug-in). The caller frees the proxy's menus (they hold callables
    // of the plug-in) before unloading.
    dfmext::DFMExtMenu* buildMenu(dfmext::DFMExtMenuProxy& proxy, const std::string& path) const {
        const dfmext::DFMExtMenuPlugin* plugin = loader_.menuPlugin();
        if (plugin == nullptr) {
            return nullptr;
        }
        plugin->callInitialize(&proxy);
        dfmext::DFMExtMenu* main = proxy.createMenu();
        plugin->callBuildNormalMenu(main, "/", path, {path}, false);
        return main;
    }

    // Builds the menu of `path` and picks the first action of the plug-in's
    // sub-menu, as a user would; false when there was nothing to pick.
    bool pickFirstAction(dfmext::DFMExtMenuProxy& proxy, const std::string& path) const {
        dfmext::DFMExtMenu* main = buildMenu(proxy, path);
        if (main == nullptr || main->actions().empty() || main->actions()[0]->menu() == nullptr ||
            main->actions()[0]->menu()->actions().empty()) {
            return false;
        }
        return main->actions()[0]->menu()->actions()[0]->trigger();
    }

    // dlclose; true when the shared object is no longer mapped afterwards.
    bool unload() { return loader_.unload(); }

private:
    dfmext::host::PluginLoader loader_;
    std::string error_;
};

// Entries of a /proc/self directory, without "." and "..".
inline int countProcEntries(const char* dir) {
    DIR* d = ::opendir(dir);
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            ++n;
        }
    }
    ::closedir(d);
    return n;
}

inline int threadCount() {
    return countProcEntries("/proc/self/task");
}
// Open descriptors, not counting the one used to list them.
inline int descriptorCount() {
    return countProcEntries("/proc/self/fd") - 1;
}

// A field of /proc/self/status in KiB (VmHWM: peak resident size; VmRSS).
inline long procStatusKiB(const std::string& field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return -1;
}

// Wall time of one call.
template <typename F>
std::chrono::microseconds timeCall(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

// How long this thread has been runnable but waiting for a CPU (the second
// field of /proc/thread-self/schedstat); zero where the kernel keeps no count.
inline std::chrono::nanoseconds cpuWaitOfThisThread() {
    std::ifstream in("/proc/thread-self/schedstat");
    long long onCpu = 0;
    long long waiting = 0;
    return std::chrono::nanoseconds(in >> onCpu >> waiting ? waiting : 0);
}

// Wall time of one call less the time the thread waited for a CPU meanwhile:
// what the call made its caller wait, working or blocked on a lock, a socket
// or a sleep. On a loaded machine the scheduler alone keeps a runnable thread
// off every CPU for a hundred milliseconds at times, which says nothing of
// the call.
template <typename F>
std::chrono::microseconds timeCallWithoutCpuWait(F&& f) {
    const auto waitedBefore = cpuWaitOfThisThread();
    const auto start = std::chrono::steady_clock::now();
    f();
    const auto took = std::chrono::steady_clock::now() - start;
    const auto waited = cpuWaitOfThisThread() - waitedBefore;
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::max(took - waited, std::chrono::steady_clock::duration::zero()));
}

}  // namespace tarnwell::test

#endif  // TARNWELL_TESTS_SUPPORT_PLUGIN_HARNESS_H_
