// The host side of loading a file-manager plug-in, as the file manager does
// it: dlopen, the four entry points, the menu proxy the host lends the menu
// plug-in, and dlclose. dfmext-host, the chaos host, the tests' harness, the
// benchmarks and the exit helper all load the plug-in through this.
//
// Thread safety: none. load, the entry points and unload belong to the one
// thread that plays the host's; emblemPlugin and menuPlugin merely call the
// entry points and may be called wherever the plug-in allows it.
#ifndef DFMEXT_LOADER_PLUGIN_LOADER_H_
#define DFMEXT_LOADER_PLUGIN_LOADER_H_

#include <memory>
#include <string>

#include "dfmext/emblem.h"
#include "dfmext/menu.h"

namespace dfmext::host {

class PluginLoader {
public:
    PluginLoader();
    // unload(): an initialized plug-in must be shut down first.
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // Maps the shared object at `path` and resolves its four entry points.
    // False with the reason in `error` ("cannot load PATH: ...", "PATH has
    // no entry point NAME"); nothing stays mapped then.
    bool load(const std::string& path, std::string& error);
    bool loaded() const { return handle_ != nullptr; }

    // The entry points, as the file manager calls them.
    void initialize() const { initialize_(); }
    void shutdown() const { shutdown_(); }
    // Null before initialize and after shutdown.
    DFMExtEmblemIconPlugin* emblemPlugin() const { return emblem_(); }
    DFMExtMenuPlugin* menuPlugin() const { return menu_(); }

    // The host's proxy, which owns every menu and action the plug-in
    // creates. Their callables live in the plug-in's code, so the proxy
    // is emptied before the object is unmapped.
    DFMExtMenuProxy& proxy() { return *proxy_; }
    // Hands the proxy to the menu plug-in, if there is one; false without.
    bool lendProxy();

    // Empties the proxy and unmaps the object (it never calls shutdown).
    // True when the object is no longer mapped afterwards: no other loader
    // of this process holds it and it was not made unloadable.
    bool unload();

private:
    using VoidEntry = void (*)();
    using EmblemEntry = DFMExtEmblemIconPlugin* (*)();
    using MenuEntry = DFMExtMenuPlugin* (*)();

    void* handle_ = nullptr;
    std::string path_;
    VoidEntry initialize_ = nullptr;
    VoidEntry shutdown_ = nullptr;
    EmblemEntry emblem_ = nullptr;
    MenuEntry menu_ = nullptr;
    std::unique_ptr<DFMExtMenuProxy> proxy_;
};

}  // namespace dfmext::host

#endif  // DFMEXT_LOADER_PLUGIN_LOADER_H_
