// The overlay plug-in Dolphin loads from kf5/overlayicon: our emblem on every
// file inside a sync folder, from the core's memory, at once. It owns the
// process's core; the menu plug-in (tarnwell_dolphin_actions.cpp), a library
// of its own, reaches the core through this plug-in's invokable functions
// rather than linking a second core, which would open a second connection to
// the daemon and would not be connected when the first menu is built.
//
// Dolphin keeps what getOverlays said until told otherwise: when the core says
// an emblem may have changed, the paths are handed over to the GUI thread,
// coalesced into one queued call per event-loop turn, which emits
// overlaysChanged for the files Dolphin asked about; Dolphin asks again.
//
// Threads: Dolphin constructs the plug-in and calls getOverlays on its GUI
// thread. The core's channel worker and notification listener run the notice
// callback. The plug-in object, `answered_` and the signal belong to the GUI
// thread.
//
// Dolphin must find the plug-in's root object to be a KOverlayIconPlugin:
// hence a plain Q_PLUGIN_METADATA, not a KPluginFactory.
//
// TARNWELL_FM_PROBE=FILE turns on the measurement seam of gui_probe.h (the
// GTK modules' own): getOverlays and the hand-over are timed, and its timer
// runs on GLib's default main context, which Qt's GLib event dispatcher
// iterates on the GUI thread.

#include <KOverlayIconPlugin>
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>
#include <QPointer>
#include <QUrl>
#include <QVariantMap>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/log.h"
#include "core/tarnwell_core.h"
#include "gui_probe.h"
#include "host_face/emblem.h"
#include "host_face/menu_model.h"

namespace {

using tarnwell::TarnwellCore;

// The probe's timer is a GLib source: it measures the GUI thread's loop only
// when Qt dispatches through GLib (QT_NO_GLIB unset, as Dolphin runs by
// default). Under another dispatcher the calls are still timed, the
// lateness is not, and the log says so.
void startProbeIfAsked() {
    tarnwell::gui_probe::startIfAsked();
    const QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (tarnwell::gui_probe::active &&
        (dispatcher == nullptr || !dispatcher->inherits("QEventDispatcherGlib"))) {
        tarnwell::logLine("tarnwell: probe: Qt's event loop is not GLib's; no lateness measured");
    }
}

// The core runs from the first plug-in object to the application's end:
// Dolphin may delete the plug-in object and make another (one per view), and
// the menu plug-in may need the core while no view exists.
void startCoreOnce() {
    static bool started = false;  // GUI thread
    if (std::exchange(started, true)) {
        return;
    }
    tarnwell::logLine("tarnwell: Dolphin overlay plug-in initializing...");
    startProbeIfAsked();
    TarnwellCore::instance()->initialize();
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QObject::connect(app, &QCoreApplication::aboutToQuit, [] {
            tarnwell::logLine("tarnwell: Dolphin overlay plug-in shutting down...");
            TarnwellCore::instance()->shutdown();
            tarnwell::gui_probe::finish();
        });
    }
}

}  // namespace

class TarnwellOverlayPlugin : public KOverlayIconPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.tarnwell.dolphin.overlayicon" FILE "tarnwell-dolphin-overlay.json")

public:
    explicit TarnwellOverlayPlugin(QObject* parent = nullptr);
    ~TarnwellOverlayPlugin() override;

    // GUI thread; never waits for the daemon.
    QStringList getOverlays(const QUrl& item) override;

    // For the menu plug-in, on the GUI thread: the "Tarnwell" sub-menu of a
    // local path as {text, icon, path, entries: [{text, msgid, icon,
    // command}]}, empty while the daemon is not connected.
    Q_INVOKABLE QVariantMap menuFor(const QString& path) const;
    // Sends an entry's command; returns at once.
    Q_INVOKABLE void runEntry(const QString& msgid, const QString& command,
                              const QString& canonicalPath) const;

private:
    // What the core's threads leave for the GUI thread. Shared with the
    // notice callback, which may still be finishing when the plug-in is gone.
    struct HandOver {
        std::mutex mutex;
        QPointer<TarnwellOverlayPlugin> plugin;  // guarded by mutex; null once deleted
        std::unordered_set<std::string> paths;   // guarded by mutex
        bool everything = false;                 // guarded by mutex
        bool pending = false;                    // guarded by mutex: a call is queued
    };

    // The core's worker or listener thread, with no core lock held.
    static void onNotice(const std::shared_ptr<HandOver>& handOver,
                         const tarnwell::EmblemNotice& notice);
    // GUI thread, once per turn however many notices came. Invoked by name:
    // a queued functor's slot object is owned by the posted event, which
    // the static analyser cannot follow and reports as a leak.
    Q_INVOKABLE void takeHandOver();
    // GUI thread: the files still to tell, after the next event-loop turn.
    Q_INVOKABLE void tellMore();
    // Tells Dolphin about the files of `toTell_` for at most kSlice, and
    // queues tellMore for the rest; one hand-over for the probe.
    void tellSome(tarnwell::gui_probe::Mark probeStart);
    void remember(std::string canonical, const QUrl& item);

    std::shared_ptr<HandOver> handOver_ = std::make_shared<HandOver>();
    std::uint64_t noticeCallbackId_ = 0;
    // The canonical path of every file getOverlays answered for, mapped to
    // the URL Dolphin knows it by (they differ below a link); only these are
    // told about. GUI thread only. Dolphin offers no way to ask which files it
    // still shows, so the oldest half goes when the map reaches its bound.
    struct Answer {
        QUrl url;
        std::uint64_t askedAt;
    };
    std::unordered_map<std::string, Answer> answered_;
    // The files chosen but not yet told (a change of every emblem chooses
    // every file answered, tens of thousands), and whether tellMore is
    // queued. GUI thread only.
    std::deque<QUrl> toTell_;
    bool moreQueued_ = false;
    // Dolphin's slot takes 10 to 20 us a file: one slice keeps the loop
    // within a frame.
    static constexpr std::chrono::milliseconds kSlice{8};
    std::uint64_t asks_ = 0;
    static constexpr std::size_t kAnsweredBound = 65536;
};

TarnwellOverlayPlugin::TarnwellOverlayPlugin(QObject* parent) : KOverlayIconPlugin(parent) {
    handOver_->plugin = this;
    const std::shared_ptr<HandOver> handOver = handOver_;
    noticeCallbackId_ = TarnwellCore::instance()->addEmblemNoticeCallback(
        [handOver](const tarnwell::EmblemNotice& notice) { onNotice(handOver, notice); });
    startCoreOnce();
}

TarnwellOverlayPlugin::~TarnwellOverlayPlugin() {
    TarnwellCore::instance()->removeEmblemNoticeCallback(noticeCallbackId_);
    std::lock_guard lock(handOver_->mutex);
    handOver_->plugin = nullptr;  // a callback still finishing queues nothing more
}

void TarnwellOverlayPlugin::onNotice(const std::shared_ptr<HandOver>& handOver,
                                     const tarnwell::EmblemNotice& notice) {
    std::lock_guard lock(handOver->mutex);
    if (handOver->plugin == nullptr) {
        return;
    }
    if (notice.everything) {
        handOver->everything = true;
        handOver->paths.clear();
    } else if (!handOver->everything) {
        handOver->paths.insert(notice.paths.begin(), notice.paths.end());
    }
    if (!std::exchange(handOver->pending, true)) {
        // Posted to the plug-in's (GUI) thread; dropped if the object goes first.
        QMetaObject::invokeMethod(handOver->plugin, "takeHandOver", Qt::QueuedConnection);
    }
}

void TarnwellOverlayPlugin::takeHandOver() {
    const tarnwell::gui_probe::Mark probeStart = tarnwell::gui_probe::start();
    std::unordered_set<std::string> paths;
    bool everything = false;
    {
        std::lock_guard lock(handOver_->mutex);
        paths.swap(handOver_->paths);
        everything = std::exchange(handOver_->everything, false);
        handOver_->pending = false;
    }
    // Chosen first, told after: Dolphin asks again from inside the signal,
    // which changes `answered_`.
    if (everything) {
        toTell_.clear();  // every file answered is chosen again
        for (const auto& entry : answered_) {
            toTell_.push_back(entry.second.url);
        }
    } else {
        for (const std::string& path : paths) {
            if (const auto it = answered_.find(path); it != answered_.end()) {
                toTell_.push_back(it->second.url);
            }
        }
    }
    tellSome(probeStart);
}

void TarnwellOverlayPlugin::tellMore() {
    moreQueued_ = false;
    tellSome(tarnwell::gui_probe::start());
}

void TarnwellOverlayPlugin::tellSome(tarnwell::gui_probe::Mark probeStart) {
    const auto deadline = std::chrono::steady_clock::now() + kSlice;
    std::size_t told = 0;
    while (!toTell_.empty() && (told == 0 || std::chrono::steady_clock::now() < deadline)) {
        const QUrl url = std::move(toTell_.front());
        toTell_.pop_front();
        const QStringList overlays = getOverlays(url);
        // Dolphin's slot runs inside the emit: its time is kept apart.
        const tarnwell::gui_probe::Mark emitted = tarnwell::gui_probe::startClock();
        Q_EMIT overlaysChanged(url, overlays);
        tarnwell::gui_probe::fileManagerCallDone(emitted);
        ++told;
    }
    if (!toTell_.empty() && !std::exchange(moreQueued_, true)) {
        QMetaObject::invokeMethod(this, "tellMore", Qt::QueuedConnection);
    }
    tarnwell::gui_probe::handOverDone(probeStart, told);
}

void TarnwellOverlayPlugin::remember(std::string canonical, const QUrl& item) {
    answered_[std::move(canonical)] = Answer{item, ++asks_};
    if (answered_.size() < kAnsweredBound) {
        return;
    }
    const std::uint64_t keepFrom = asks_ - kAnsweredBound / 2;
    std::erase_if(answered_, [keepFrom](const auto& entry) {
        return entry.second.askedAt <= keepFrom;
    });
}

QStringList TarnwellOverlayPlugin::getOverlays(const QUrl& item) {
    const tarnwell::gui_probe::Mark probeStart = tarnwell::gui_probe::start();
    if (!item.isLocalFile()) {
        return {};
    }
    // The file system's bytes, as the core compares them.
    const std::string path = QFile::encodeName(item.toLocalFile()).toStdString();
    std::string canonical;
    const char* icon = tarnwell::emblemIconFor(*TarnwellCore::instance(), path, &canonical);
    remember(std::move(canonical), item);
    QStringList overlays = icon != nullptr ? QStringList{QString::fromUtf8(icon)} : QStringList{};
    tarnwell::gui_probe::updateFileInfoDone(probeStart, path, icon != nullptr);
    return overlays;
}

QVariantMap TarnwellOverlayPlugin::menuFor(const QString& path) const {
    const std::optional<tarnwell::MenuModel> model =
        tarnwell::menuFor(*TarnwellCore::instance(), QFile::encodeName(path).toStdString());
    if (!model || model->entries.empty()) {
        return {};
    }
    QVariantList entries;
    for (const tarnwell::MenuEntry& entry : model->entries) {
        entries.append(QVariantMap{{"text", QString::fromStdString(entry.text)},
                                   {"msgid", QString::fromStdString(entry.msgid)},
                                   {"icon", QString::fromStdString(entry.icon)},
                                   {"command", QString::fromStdString(entry.command)}});
    }
    return {{"text", QString::fromStdString(model->text)},
            {"icon", QString::fromStdString(model->icon)},
            {"path", QString::fromStdString(model->canonicalPath)},
            {"entries", entries}};
}

void TarnwellOverlayPlugin::runEntry(const QString& msgid, const QString& command,
                                     const QString& canonicalPath) const {
    tarnwell::runMenuEntry(nullptr, msgid.toStdString(), command.toStdString(),
                           canonicalPath.toStdString());
}

#include "tarnwell_dolphin_overlay.moc"
