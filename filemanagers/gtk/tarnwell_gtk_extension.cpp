// The module GNOME Files (Nautilus 43), Caja and Nemo load: one source for
// the three, whose extension APIs differ only by their prefix and by the
// `window` argument Nautilus dropped from its menu provider. The build
// compiles it once per file manager with one of TARNWELL_FM_NAUTILUS,
// TARNWELL_FM_CAJA or TARNWELL_FM_NEMO defined.
//
// An info provider sets our emblem on every file inside a sync folder from
// the core's memory, at once; a menu provider adds the "Tarnwell" sub-menu
// for one selected file or folder. The file manager caches what the info
// provider said until told otherwise: when the core says an emblem may have
// changed, the paths are handed over to the GUI thread, coalesced into one
// callback per turn, which invalidates the file's extension info so that the
// file manager asks again, a slice of the files at a time.
//
// TARNWELL_FM_PROBE=FILE turns on the measurement seam of gui_probe.h.
//
// Threads: the file manager calls the entry points and both providers on its
// GUI thread (the default main context's). The core's channel worker and
// notification listener run onEmblemNotice. Every GLib object of the file
// manager is touched on the GUI thread only.

#include <gio/gio.h>
#include <glib-object.h>

#if defined(TARNWELL_FM_NAUTILUS)
extern "C" {
#include <nautilus-extension.h>
}
#define FM(name) nautilus_##name
#define FM_TYPE(name) Nautilus##name
#define FM_CONST(name) NAUTILUS_##name
#define FM_INFO_PROVIDER_IFACE NautilusInfoProviderInterface
#define FM_MENU_PROVIDER_IFACE NautilusMenuProviderInterface
#define FM_MENU_HAS_WINDOW 0
#define FM_TYPE_NAME "TarnwellNautilusExtension"
#elif defined(TARNWELL_FM_CAJA)
#include <gtk/gtk.h>
extern "C" {
#include <libcaja-extension/caja-extension-types.h>
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-info-provider.h>
#include <libcaja-extension/caja-menu-provider.h>
}
#define FM(name) caja_##name
#define FM_TYPE(name) Caja##name
#define FM_CONST(name) CAJA_##name
#define FM_INFO_PROVIDER_IFACE CajaInfoProviderIface
#define FM_MENU_PROVIDER_IFACE CajaMenuProviderIface
#define FM_MENU_HAS_WINDOW 1
#define FM_TYPE_NAME "TarnwellCajaExtension"
#elif defined(TARNWELL_FM_NEMO)
#include <gtk/gtk.h>
extern "C" {
#include <libnemo-extension/nemo-extension-types.h>
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-info-provider.h>
#include <libnemo-extension/nemo-menu-provider.h>
}
#define FM(name) nemo_##name
#define FM_TYPE(name) Nemo##name
#define FM_CONST(name) NEMO_##name
#define FM_INFO_PROVIDER_IFACE NemoInfoProviderInterface
#define FM_MENU_PROVIDER_IFACE NemoMenuProviderInterface
#define FM_MENU_HAS_WINDOW 1
#define FM_TYPE_NAME "TarnwellNemoExtension"
#else
#error "define one of TARNWELL_FM_NAUTILUS, TARNWELL_FM_CAJA, TARNWELL_FM_NEMO"
#endif

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/log.h"
#include "gui_probe.h"
#include "core/tarnwell_core.h"
#include "host_face/emblem.h"
#include "host_face/menu_model.h"
#include "protocol/messages.h"

#define TARNWELL_MODULE_EXPORT __attribute__((visibility("default")))

namespace {

using tarnwell::TarnwellCore;

using FileInfo = FM_TYPE(FileInfo);
using MenuItem = FM_TYPE(MenuItem);
using Menu = FM_TYPE(Menu);
using OperationResult = FM_TYPE(OperationResult);
using OperationHandle = FM_TYPE(OperationHandle);
using InfoProvider = FM_TYPE(InfoProvider);
using MenuProvider = FM_TYPE(MenuProvider);

// --- The files the file manager asked about (GUI thread only) ---

// What the info provider last told the file manager about a file.
struct Answer {
    std::string shown;    // the path the file manager knows the file by
    bool emblem = false;  // an emblem was set
};

// The canonical path of every file the info provider answered for (it
// differs from the shown path below a link). Only these are looked up when
// a notice comes: a path the file manager never showed is never looked up.
// Entries whose file the file manager no longer holds are pruned when the
// map has doubled since the last pruning. Its buckets are reserved up front
// for what a file manager with many big folders open holds: a rehash moves
// every entry, and one of 60,000 held a single update_file_info for
// milliseconds.
std::unordered_map<std::string, Answer> answered;
std::size_t pruneAt = 4096;
constexpr std::size_t kAnsweredBuckets = std::size_t{1} << 17;

// The files of `answered` still to be looked up in the file manager, a slice
// per turn of its main loop: those told changed, and a sweep over them all.
std::unordered_set<std::string> pending;

// A sweep over every entry of `answered`, bucket by bucket: a copy of the
// keys of a map of many thousands would itself hold the GUI thread. The
// pruning only sees whether the file manager still holds each file. When
// every emblem may have changed (`again`) it asks the file manager again
// about the files whose answer may now differ: first those that showed an
// emblem (one that may be wrong goes first), then those without one inside
// a sync root. A file outside every root that showed nothing shows nothing
// still: when the roots change the core tells "everything" after the new
// list is in place, so `roots`, read when the sweep starts, is at least as
// new as the change. A rehash (the map grew) moves entries between buckets:
// the sweep starts over.
struct Sweep {
    bool active = false;
    bool again = false;
    bool emblemsDone = false;  // `again`: the files that showed one were asked
    std::size_t bucket = 0;
    std::size_t buckets = 0;  // answered.bucket_count() when the bucket was chosen
    std::vector<std::string> roots;  // `again`: the sync roots when it started
};
Sweep sweep;

void startSweep(bool again) {
    again = sweep.again || again;
    if (again || !sweep.active) {
        sweep = Sweep{true, again, false, 0, answered.bucket_count(), {}};
        if (again) {
            sweep.roots = TarnwellCore::instance()->syncRoots();
        }
    }
}

// Whether the sweep asks about (or, pruning, looks up) this entry now.
bool sweepTakes(const std::string& canonical, const Answer& answer) {
    if (!sweep.again) {
        return true;
    }
    if (!sweep.emblemsDone) {
        return answer.emblem;
    }
    return !answer.emblem && std::any_of(sweep.roots.begin(), sweep.roots.end(),
                                         [&](const std::string& root) {
                                             return tarnwell::protocol::rootHolds(root, canonical);
                                         });
}

// The file manager's object for a path, if it holds one; a new reference.
FileInfo* lookUp(const std::string& shownPath) {
    GFile* location = g_file_new_for_path(shownPath.c_str());
    FileInfo* info = FM(file_info_lookup)(location);
    g_object_unref(location);
    return info;
}

// Asks the file manager to ask again about the file when `again`; false when
// it no longer holds the file (the entry can go).
bool lookUpAgain(const std::string& shownPath, bool again) {
    const tarnwell::gui_probe::Mark probeStart = tarnwell::gui_probe::startClock();
    FileInfo* info = lookUp(shownPath);
    const bool held = info != nullptr;
    if (held) {
        if (again) {
            FM(file_info_invalidate_extension_info)(info);
        }
        g_object_unref(info);
    }
    tarnwell::gui_probe::fileManagerCallDone(probeStart);
    return held;
}

// Looks up the files of one bucket of the sweep; returns how many.
std::size_t sweepOneBucket() {
    if (sweep.buckets != answered.bucket_count()) {
        sweep.bucket = 0;
        sweep.buckets = answered.bucket_count();
    }
    std::vector<std::pair<std::string, std::string>> entries;
    for (auto it = answered.begin(sweep.bucket); it != answered.end(sweep.bucket); ++it) {
        if (sweepTakes(it->first, it->second)) {
            entries.emplace_back(it->first, it->second.shown);
        }
    }
    for (const auto& [canonical, shown] : entries) {
        if (!lookUpAgain(shown, sweep.again)) {
            answered.erase(canonical);
        }
    }
    if (++sweep.bucket < sweep.buckets) {
        return entries.size();
    }
    if (sweep.again && !sweep.emblemsDone) {
        sweep.emblemsDone = true;
        sweep.bucket = 0;
    } else {
        sweep = Sweep{};
    }
    return entries.size();
}

// Works on `pending`, then on the sweep, until the deadline (at least one
// step); returns how many files it looked up. The file manager may ask again
// from inside an invalidation, which changes `answered`: no iterator into it
// is held across one.
std::size_t workOnPending(gint64 deadlineUs) {
    std::size_t done = 0;
    bool first = true;
    while ((!pending.empty() || sweep.active) && (first || g_get_monotonic_time() < deadlineUs)) {
        first = false;
        if (pending.empty()) {
            done += sweepOneBucket();
            continue;
        }
        const std::string canonical = std::move(pending.extract(pending.begin()).value());
        if (const auto it = answered.find(canonical); it != answered.end()) {
            const std::string shown = it->second.shown;
            if (!lookUpAgain(shown, true)) {
                answered.erase(canonical);
            }
            ++done;
        }
    }
    return done;
}

// --- The hand-over from the core's threads to the GUI thread ---

std::mutex handOverMutex;
// Canonical paths told since the last hand-over; guarded by handOverMutex.
std::unordered_set<std::string> changedPaths;
bool everythingChanged = false;  // guarded by handOverMutex
guint handOverSource = 0;        // guarded by handOverMutex; 0: none pending
gint64 lastHandOverUs = 0;       // guarded by handOverMutex; monotonic
bool handOverOpen = false;       // guarded by handOverMutex; false after shutdown
std::uint64_t noticeCallbackId = 0;  // GUI thread (the entry points)

// The hand-over runs ahead of the file manager's redraw (GDK's redraw
// priority is G_PRIORITY_HIGH_IDLE + 20) and its idle work: at the default
// idle priority it waited behind every frame, and a file manager that draws
// a big folder on a busy machine is never without a frame to draw, so a
// pushed status was asked again hundreds of milliseconds late. Ahead of the
// redraw, a stream of notices could starve it: hand-overs come at most once a
// frame's length apart, and each holds the GUI thread for one slice; the
// rest of a big one (every file, when the daemon went away) goes on after
// the next frame.
constexpr gint kHandOverPriority = G_PRIORITY_HIGH_IDLE;
constexpr gint kGoOnPriority = G_PRIORITY_HIGH_IDLE + 30;
constexpr gint64 kHandOverGapUs = 16'000;
constexpr gint64 kSliceUs = 8'000;

gboolean handOver(gpointer unused);

// Schedules the next hand-over unless one is pending; `goOn`: the rest of a
// slice. Any thread, with handOverMutex held.
void scheduleHandOverLocked(bool goOn) {
    if (handOverSource != 0 || !handOverOpen) {
        return;
    }
    // Attached to the default main context, which the GUI thread runs; safe
    // from any thread.
    const gint64 waitUs = lastHandOverUs + kHandOverGapUs - g_get_monotonic_time();
    if (goOn) {
        handOverSource = g_idle_add_full(kGoOnPriority, handOver, nullptr, nullptr);
    } else if (waitUs > 0) {
        handOverSource = g_timeout_add_full(kHandOverPriority, guint(waitUs / 1000) + 1, handOver,
                                            nullptr, nullptr);
    } else {
        handOverSource = g_idle_add_full(kHandOverPriority, handOver, nullptr, nullptr);
    }
}

// GUI thread, one callback per turn, however many notices came.
gboolean handOver(gpointer /*unused*/) {
    const tarnwell::gui_probe::Mark probeStart = tarnwell::gui_probe::start();
    std::unordered_set<std::string> paths;
    bool everything = false;
    {
        std::lock_guard lock(handOverMutex);
        paths.swap(changedPaths);
        everything = std::exchange(everythingChanged, false);
    }
    if (everything) {
        pending.clear();
        startSweep(true);
    } else {
        pending.merge(paths);
    }
    const std::size_t done = workOnPending(g_get_monotonic_time() + kSliceUs);
    tarnwell::gui_probe::handOverDone(probeStart, done);
    std::lock_guard lock(handOverMutex);
    handOverSource = 0;
    lastHandOverUs = g_get_monotonic_time();
    if (!pending.empty() || sweep.active) {
        scheduleHandOverLocked(true);
    } else if (everythingChanged || !changedPaths.empty()) {
        scheduleHandOverLocked(false);
    }
    return G_SOURCE_REMOVE;
}

// GUI thread: every entry is looked up again, a slice a turn.
void pruneAnswered() {
    startSweep(false);
    pruneAt = std::max<std::size_t>(4096, answered.size() * 2);
    std::lock_guard lock(handOverMutex);
    scheduleHandOverLocked(true);
}

// The core's worker or listener thread, with no core lock held.
void onEmblemNotice(const tarnwell::EmblemNotice& notice) {
    std::lock_guard lock(handOverMutex);
    if (!handOverOpen) {
        return;
    }
    if (notice.everything) {
        everythingChanged = true;
        changedPaths.clear();
    } else if (!everythingChanged) {
        changedPaths.insert(notice.paths.begin(), notice.paths.end());
    }
    scheduleHandOverLocked(false);
}

// --- The providers (GUI thread) ---

// The local path of a file, or empty (a remote or virtual location).
std::string localPath(FileInfo* file) {
    GFile* location = FM(file_info_get_location)(file);
    if (location == nullptr) {
        return {};
    }
    char* path = g_file_get_path(location);
    g_object_unref(location);
    std::string result = path != nullptr ? path : "";
    g_free(path);
    return result;
}

OperationResult updateFileInfo(InfoProvider* /*provider*/, FileInfo* file,
                               GClosure* /*updateComplete*/, OperationHandle** /*handle*/) {
    const tarnwell::gui_probe::Mark probeStart = tarnwell::gui_probe::start();
    const std::string path = localPath(file);
    if (path.empty()) {
        return FM_CONST(OPERATION_COMPLETE);
    }
    std::string canonical;
    // The file manager asks about every file of a folder it shows: the
    // folder's other entries are asked at once, so that most answers are
    // held before it asks, and need no second round through it.
    const char* icon =
        tarnwell::emblemIconFor(*TarnwellCore::instance(), path, &canonical, /*lookAhead=*/true);
    if (icon != nullptr) {
        FM(file_info_add_emblem)(file, icon);
    }
    answered[std::move(canonical)] = Answer{path, icon != nullptr};
    if (answered.size() >= pruneAt) {
        pruneAnswered();
    }
    tarnwell::gui_probe::updateFileInfoDone(probeStart, path, icon != nullptr);
    return FM_CONST(OPERATION_COMPLETE);
}

void cancelUpdate(InfoProvider* /*provider*/, OperationHandle* /*handle*/) {
    // Every answer is complete when given: nothing is in progress.
}

struct ActionData {
    std::string msgid;
    std::string command;
    std::string canonicalPath;
};

void onActivate(MenuItem* /*item*/, gpointer data) {
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

MenuItem* newEntry(const tarnwell::MenuEntry& entry, const std::string& canonicalPath) {
    const std::string name = "Tarnwell::" + entry.command;
    MenuItem* item = FM(menu_item_new)(name.c_str(), entry.text.c_str(), entry.text.c_str(),
                                       entry.icon.c_str());
    g_signal_connect_data(item, "activate", G_CALLBACK(onActivate),
                          new ActionData{entry.msgid, entry.command, canonicalPath},
                          freeActionData, GConnectFlags(0));
    return item;
}

GList* fileItems(GList* files) {
    if (files == nullptr || files->next != nullptr) {
        return nullptr;  // a single file or folder only
    }
    const std::string path = localPath(static_cast<FileInfo*>(files->data));
    if (path.empty()) {
        return nullptr;
    }
    const std::optional<tarnwell::MenuModel> model = tarnwell::menuFor(*TarnwellCore::instance(), path);
    if (!model || model->entries.empty()) {
        return nullptr;
    }
    // Caja refuses an item without a tip (it returns null, and the menu it
    // builds from that crashes the file manager): every item has one.
    MenuItem* top = FM(menu_item_new)("Tarnwell::menu", model->text.c_str(), model->text.c_str(),
                                      model->icon.c_str());
    Menu* subMenu = FM(menu_new)();
    for (const tarnwell::MenuEntry& entry : model->entries) {
        MenuItem* item = newEntry(entry, model->canonicalPath);
        FM(menu_append_item)(subMenu, item);
        releaseIfShared(item);
    }
    FM(menu_item_set_submenu)(top, subMenu);
    releaseIfShared(subMenu);
    return g_list_append(nullptr, top);
}

#if FM_MENU_HAS_WINDOW
GList* getFileItems(MenuProvider* /*provider*/, GtkWidget* /*window*/, GList* files) {
    return fileItems(files);
}
#else
GList* getFileItems(MenuProvider* /*provider*/, GList* files) {
    return fileItems(files);
}
#endif

void infoProviderInit(gpointer iface, gpointer /*data*/) {
    auto* info = static_cast<FM_INFO_PROVIDER_IFACE*>(iface);
    info->update_file_info = updateFileInfo;
    info->cancel_update = cancelUpdate;
}

void menuProviderInit(gpointer iface, gpointer /*data*/) {
    static_cast<FM_MENU_PROVIDER_IFACE*>(iface)->get_file_items = getFileItems;
}

GType extensionType = 0;  // GUI thread: registered once per process

struct Extension {
    GObject parent;
};
struct ExtensionClass {
    GObjectClass parentClass;
};

void registerType(GTypeModule* module) {
    static const GTypeInfo info = {sizeof(ExtensionClass), nullptr, nullptr, nullptr, nullptr,
                                   nullptr, sizeof(Extension), 0, nullptr, nullptr};
    extensionType =
        g_type_module_register_type(module, G_TYPE_OBJECT, FM_TYPE_NAME, &info, GTypeFlags(0));
    static const GInterfaceInfo infoProvider = {infoProviderInit, nullptr, nullptr};
    g_type_module_add_interface(module, extensionType, FM_CONST(TYPE_INFO_PROVIDER),
                                &infoProvider);
    static const GInterfaceInfo menuProvider = {menuProviderInit, nullptr, nullptr};
    g_type_module_add_interface(module, extensionType, FM_CONST(TYPE_MENU_PROVIDER),
                                &menuProvider);
}

}  // namespace

extern "C" {

TARNWELL_MODULE_EXPORT void FM(module_initialize)(GTypeModule* module) {
    tarnwell::logLine("tarnwell: " FM_TYPE_NAME " initializing...");
    registerType(module);
    tarnwell::gui_probe::startIfAsked();
    answered.reserve(kAnsweredBuckets);
    {
        std::lock_guard lock(handOverMutex);
        handOverOpen = true;
    }
    TarnwellCore* const core = TarnwellCore::instance();
    if (noticeCallbackId == 0) {
        noticeCallbackId = core->addEmblemNoticeCallback(onEmblemNotice);
    }
    core->initialize();
}

TARNWELL_MODULE_EXPORT void FM(module_shutdown)(void) {
    tarnwell::logLine("tarnwell: " FM_TYPE_NAME " shutting down...");
    TarnwellCore* const core = TarnwellCore::instance();
    // The threads end first: no notice comes after this.
    core->shutdown();
    core->removeEmblemNoticeCallback(std::exchange(noticeCallbackId, 0));
    std::lock_guard lock(handOverMutex);
    handOverOpen = false;
    if (handOverSource != 0) {
        g_source_remove(std::exchange(handOverSource, 0));
    }
    changedPaths.clear();
    pending.clear();
    sweep = Sweep{};
    tarnwell::gui_probe::finish();
}

TARNWELL_MODULE_EXPORT void FM(module_list_types)(const GType** types, int* numTypes) {
    static GType list[1];
    list[0] = extensionType;
    *types = list;
    *numTypes = 1;
}

}  // extern "C"
