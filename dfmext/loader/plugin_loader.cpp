#include "dfmext_loader/plugin_loader.h"

#include <dlfcn.h>

#include "dfmext_loader/entry_point_names.h"

namespace dfmext::host {
namespace {

template <typename Function>
bool resolve(void* handle, const std::string& path, const char* name, Function& function,
             std::string& error) {
    function = reinterpret_cast<Function>(::dlsym(handle, name));
    if (function == nullptr) {
        error = path + " has no entry point " + name;
        return false;
    }
    return true;
}

}  // namespace

PluginLoader::PluginLoader() : proxy_(std::make_unique<DFMExtMenuProxy>()) {}

PluginLoader::~PluginLoader() {
    unload();
}

bool PluginLoader::load(const std::string& path, std::string& error) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        // The host loads libraries on one thread, so dlerror's state is ours.
        const char* reason = ::dlerror();  // NOLINT(concurrency-mt-unsafe)
        error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown error");
        return false;
    }
    if (!resolve(handle, path, kInitializeEntry, initialize_, error) ||
        !resolve(handle, path, kShutdownEntry, shutdown_, error) ||
        !resolve(handle, path, kEmblemEntry, emblem_, error) ||
        !resolve(handle, path, kMenuEntry, menu_, error)) {
        ::dlclose(handle);
        return false;
    }
    handle_ = handle;
    path_ = path;
    return true;
}

bool PluginLoader::lendProxy() {
    DFMExtMenuPlugin* const menu = menuPlugin();
    if (menu == nullptr) {
        return false;
    }
    menu->callInitialize(proxy_.get());
    return true;
}

bool PluginLoader::unload() {
    if (handle_ == nullptr) {
        return true;
    }
    proxy_->clear();
    ::dlclose(handle_);
    handle_ = nullptr;
    void* again = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (again != nullptr) {
        ::dlclose(again);
        return false;
    }
    return true;
}

}  // namespace dfmext::host
