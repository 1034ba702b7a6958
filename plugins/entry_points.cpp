#include "entry_points.h"

#include <memory>

#include "base/log.h"
#include "core/tarnwell_core.h"
#include "plugins/tarnwell_emblem_plugin.h"
#include "plugins/tarnwell_menu_plugin.h"

namespace {

// Owned from dfm_extension_initialize to dfm_extension_shutdown; touched only
// on the host's calling thread. Destroyed at unload if the host never calls
// shutdown.
std::unique_ptr<tarnwell::TarnwellEmblemPlugin> emblemPlugin;
std::unique_ptr<tarnwell::TarnwellMenuPlugin> menuPlugin;

}  // namespace

extern "C" {

void dfm_extension_initialize() {
    tarnwell::logLine("tarnwell: plugin initializing...");
    tarnwell::TarnwellCore::instance()->initialize();
    // A repeated call keeps the objects the host already holds pointers to,
    // instead of leaking them or pulling them from under the host.
    if (!emblemPlugin) {
        emblemPlugin = std::make_unique<tarnwell::TarnwellEmblemPlugin>();
    }
    if (!menuPlugin) {
        menuPlugin = std::make_unique<tarnwell::TarnwellMenuPlugin>();
    }
    tarnwell::logLine("tarnwell: plugin initialized");
}

void dfm_extension_shutdown() {
    tarnwell::logLine("tarnwell: plugin shutting down...");
    menuPlugin.reset();
    emblemPlugin.reset();
    tarnwell::TarnwellCore::instance()->shutdown();
    tarnwell::logLine("tarnwell: plugin shut down");
}

dfmext::DFMExtEmblemIconPlugin* dfm_extension_emblem() {
    return emblemPlugin.get();
}

dfmext::DFMExtMenuPlugin* dfm_extension_menu() {
    return menuPlugin.get();
}

}  // extern "C"
