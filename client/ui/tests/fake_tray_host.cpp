// A stand-in for a desktop's tray on the session bus: the status-notifier watcher with a host
// registered. Each icon that registers with it is read back at once (its tip and a digest of its
// pixels) and printed as "ITEM <digest> <tip>"; "READY" once the watcher's name is taken. Ended by
// a signal, it leaves the bus as a tray that goes away does. Run by vorn_tray_host_test.
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QStringList>
#include <QTimer>
#include <cstdio>

namespace {

QVariant ItemProperty(const QString& service, const char* name) {
    QDBusMessage get = QDBusMessage::createMethodCall(service, "/StatusNotifierItem",
                                                      "org.freedesktop.DBus.Properties", "Get");
    get << QString("org.kde.StatusNotifierItem") << QString(name);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
    return reply.arguments().at(0).value<QDBusVariant>().variant();
}

// a(iiay): every pixel of every size.
void ReadPixmaps(const QDBusArgument& arg, QCryptographicHash* hash) {
    arg.beginArray();
    while (!arg.atEnd()) {
        int width = 0, height = 0;
        QByteArray data;
        arg.beginStructure();
        arg >> width >> height >> data;
        arg.endStructure();
        hash->addData(data);
    }
    arg.endArray();
}

}  // namespace

class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ HostRegistered)
    Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ Items)

public:
    bool HostRegistered() const { return true; }
    int ProtocolVersion() const { return 0; }
    QStringList Items() const { return m_items; }

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
        // Either a bus name or an object path on the caller's connection.
        const QString name = service.startsWith('/') ? message.service() : service;
        m_items << name;
        QTimer::singleShot(0, this, [name] { Report(name); });
    }
    void RegisterStatusNotifierHost(const QString&) {}

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    static void Report(const QString& name) {
        QCryptographicHash hash(QCryptographicHash::Sha1);
        const QVariant pixmaps = ItemProperty(name, "IconPixmap");
        if (pixmaps.canConvert<QDBusArgument>()) ReadPixmaps(pixmaps.value<QDBusArgument>(), &hash);
        // (s a(iiay) s s): icon name, pixmaps, title, text.
        QString title;
        const QVariant tip = ItemProperty(name, "ToolTip");
        if (tip.canConvert<QDBusArgument>()) {
            const QDBusArgument arg = tip.value<QDBusArgument>();
            QString iconName, text;
            arg.beginStructure();
            arg >> iconName;
            QCryptographicHash ignored(QCryptographicHash::Sha1);
            ReadPixmaps(arg, &ignored);
            arg >> title >> text;
            arg.endStructure();
        }
        std::printf("ITEM %s %s\n", hash.result().toHex().constData(), title.toUtf8().constData());
        std::fflush(stdout);
    }

    QStringList m_items;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    Watcher watcher;
    if (!bus.registerObject("/StatusNotifierWatcher", &watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                QDBusConnection::ExportAllProperties) ||
        !bus.registerService("org.kde.StatusNotifierWatcher")) {
        std::fprintf(stderr, "the watcher's name is taken or the bus is not there\n");
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    return app.exec();
}

#include "fake_tray_host.moc"
