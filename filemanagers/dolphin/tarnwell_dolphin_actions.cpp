// The menu plug-in KDE's file item actions load from kf5/kfileitemaction
// (Dolphin's context menu among them): the "Tarnwell" sub-menu for one
// selected local file or folder. The model, texts and commands come from the
// overlay plug-in (tarnwell_dolphin_overlay.cpp), which owns the process's
// core; this library links no core of its own.
//
// Threads: every function runs on the GUI thread.

#include <KAbstractFileItemActionPlugin>
#include <KFileItem>
#include <KFileItemListProperties>
#include <KPluginFactory>
#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QPluginLoader>
#include <QPointer>
#include <QVariantMap>

namespace {

// The overlay plug-in's root object: Dolphin's own when it loaded it (a
// library's root object is one per process), else made here, which starts
// the core (its first menus stay empty until the daemon is connected).
QObject* overlayPlugin() {
    static QPointer<QObject> plugin;
    if (plugin == nullptr) {
        // Found through the Qt plug-in path, as Dolphin finds it.
        QPluginLoader loader(QStringLiteral("kf5/overlayicon/tarnwell-dolphin-overlay"));
        plugin = loader.instance();
    }
    return plugin;
}

}  // namespace

class TarnwellFileItemActions : public KAbstractFileItemActionPlugin {
    Q_OBJECT

public:
    TarnwellFileItemActions(QObject* parent, const QVariantList& /*args*/)
        : KAbstractFileItemActionPlugin(parent) {}

    QList<QAction*> actions(const KFileItemListProperties& items, QWidget* parentWidget) override {
        const KFileItemList list = items.items();
        if (list.size() != 1 || !list.first().url().isLocalFile()) {
            return {};  // a single local file or folder only
        }
        QObject* const face = overlayPlugin();
        QVariantMap model;
        if (face == nullptr ||
            !QMetaObject::invokeMethod(face, "menuFor", Qt::DirectConnection,
                                       Q_RETURN_ARG(QVariantMap, model),
                                       Q_ARG(QString, list.first().url().toLocalFile())) ||
            model.isEmpty()) {
            return {};
        }
        return {menuAction(model, parentWidget)};
    }

private:
    QAction* menuAction(const QVariantMap& model, QWidget* parentWidget) {
        auto* const menu = new QMenu(parentWidget);
        const QString path = model.value("path").toString();
        for (const QVariant& value : model.value("entries").toList()) {
            const QVariantMap entry = value.toMap();
            QAction* const action = menu->addAction(
                QIcon::fromTheme(entry.value("icon").toString()), entry.value("text").toString());
            const QString msgid = entry.value("msgid").toString();
            const QString command = entry.value("command").toString();
            connect(action, &QAction::triggered, this, [msgid, command, path] {
                if (QObject* const face = overlayPlugin()) {
                    QMetaObject::invokeMethod(face, "runEntry", Qt::DirectConnection,
                                              Q_ARG(QString, msgid), Q_ARG(QString, command),
                                              Q_ARG(QString, path));
                }
            });
        }
        auto* const top = new QAction(QIcon::fromTheme(model.value("icon").toString()),
                                      model.value("text").toString(), parentWidget);
        top->setMenu(menu);
        connect(top, &QObject::destroyed, menu, &QObject::deleteLater);
        return top;
    }
};

K_PLUGIN_CLASS_WITH_JSON(TarnwellFileItemActions, "tarnwell-dolphin-actions.json")

#include "tarnwell_dolphin_actions.moc"
