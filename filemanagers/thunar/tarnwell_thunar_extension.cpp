// The extension Thunar loads from its thunarx-3 folder: the "Tarnwell"
// sub-menu for one selected file or folder. Thunar offers extensions no way
// to draw emblems (it draws only the emblems kept in the user's GVfs
// metadata, which we leave alone: they would outlive the daemon), so this
// module has a menu provider only.
//
// Threads: Thunar calls the entry points and the menu provider on its GUI
// thread. The core's channel worker and notification listener run in the
// background from initialization to shutdown, which is why the module asks
// Thunar never to unload it.

#include <gio/gio.h>
#include <glib-object.h>
#include <gtk/gtk.h>
// Its headers declare no C linkage of their own.
extern "C" {
#include <thunarx/thunarx.h>
}

#include <optional>
#include <string>
#include <utility>

#include "base/log.h"
#include "core/tarnwell_core.h"
#include "host_face/menu_model.h"

#define TARNWELL_MODULE_EXPORT __attribute__((visibility("default")))

namespace {

using tarnwell::TarnwellCore;

// The local path of a file, or empty (a remote or virtual location).
std::string localPath(ThunarxFileInfo* file) {
    GFile* location = thunarx_file_info_get_location(file);
    if (location == nullptr) {
        return {};
    }
    char* path = g_file_get_path(location);
    g_object_unref(location);
    std::string result = path != nullptr ? path : "";
    g_free(path);
    return result;
}

struct ActionData {
    std::string msgid;
    std::string command;
    std::string canonicalPath;
};

void onActivate(ThunarxMenuItem* /*item*/, gpointer data) {
    const auto* action = static_cast<const ActionData*>(data);
    tarnwell::runMenuEntry(nullptr, action->msgid, action->command, action->canonicalPath);
}

void freeActionData(gpointer data, GClosure* /*closure*/) {
    delete static_cast<ActionData*>(data);
}

// Drops the caller's reference to `object` when the call it was handed to
// took one of its own; keeps it when the call took ours over.
void releaseIfShared(gpointer object) {
    if (G_OBJECT(object)->ref_count > 1) {
        g_object_unref(object);
    }
}

ThunarxMenuItem* newEntry(const tarnwell::MenuEntry& entry, const std::string& canonicalPath) {
    const std::string name = "Tarnwell::" + entry.command;
    ThunarxMenuItem* item = thunarx_menu_item_new(name.c_str(), entry.text.c_str(),
                                                  entry.text.c_str(), entry.icon.c_str());
    g_signal_connect_data(item, "activate", G_CALLBACK(onActivate),
                          new ActionData{entry.msgid, entry.command, canonicalPath},
                          freeActionData, GConnectFlags(0));
    return item;
}

GList* getFileMenuItems(ThunarxMenuProvider* /*provider*/, GtkWidget* /*window*/, GList* files) {
    if (files == nullptr || files->next != nullptr) {
        return nullptr;  // a single file or folder only
    }
    const std::string path = localPath(static_cast<ThunarxFileInfo*>(files->data));
    if (path.empty()) {
        return nullptr;
    }
    const std::optional<tarnwell::MenuModel> model =
        tarnwell::menuFor(*TarnwellCore::instance(), path);
    if (!model || model->entries.empty()) {
        return nullptr;
    }
    ThunarxMenuItem* top = thunarx_menu_item_new("Tarnwell::menu", model->text.c_str(),
                                                 model->text.c_str(), model->icon.c_str());
    ThunarxMenu* subMenu = thunarx_menu_new();
    for (const tarnwell::MenuEntry& entry : model->entries) {
        ThunarxMenuItem* item = newEntry(entry, model->canonicalPath);
        thunarx_menu_append_item(subMenu, item);
        releaseIfShared(item);
    }
    thunarx_menu_item_set_menu(top, subMenu);
    releaseIfShared(subMenu);
    return g_list_append(nullptr, top);
}

void menuProviderInit(gpointer iface, gpointer /*data*/) {
    static_cast<ThunarxMenuProviderIface*>(iface)->get_file_menu_items = getFileMenuItems;
}

GType extensionType = 0;  // GUI thread: registered once per process

struct Extension {
    GObject parent;
};
struct ExtensionClass {
    GObjectClass parentClass;
};

void registerType(ThunarxProviderPlugin* plugin) {
    static const GTypeInfo info = {sizeof(ExtensionClass), nullptr, nullptr, nullptr, nullptr,
                                   nullptr, sizeof(Extension), 0, nullptr, nullptr};
    extensionType = thunarx_provider_plugin_register_type(
        plugin, G_TYPE_OBJECT, "TarnwellThunarExtension", &info, GTypeFlags(0));
    static const GInterfaceInfo menuProvider = {menuProviderInit, nullptr, nullptr};
    thunarx_provider_plugin_add_interface(plugin, extensionType, THUNARX_TYPE_MENU_PROVIDER,
                                          &menuProvider);
}

}  // namespace

extern "C" {

TARNWELL_MODULE_EXPORT void thunar_extension_initialize(ThunarxProviderPlugin* plugin) {
    tarnwell::logLine("tarnwell: TarnwellThunarExtension initializing...");
    // Thunar unloads a module (shutdown, then unmapping) as soon as it has
    // listed its types, and loads it again when it first needs a provider:
    // the core would be stopped just after starting and the connection made
    // twice, and the library's code must not go while the core's threads
    // run. Resident, it is loaded once for Thunar's run and never shut down
    // by Thunar; the core's static destructor stops the threads at exit.
    thunarx_provider_plugin_set_resident(plugin, TRUE);
    registerType(plugin);
    TarnwellCore::instance()->initialize();
}

TARNWELL_MODULE_EXPORT void thunar_extension_shutdown(void) {
    tarnwell::logLine("tarnwell: TarnwellThunarExtension shutting down...");
    TarnwellCore::instance()->shutdown();
}

TARNWELL_MODULE_EXPORT void thunar_extension_list_types(const GType** types, gint* numTypes) {
    static GType list[1];
    list[0] = extensionType;
    *types = list;
    *numTypes = 1;
}

}  // extern "C"
