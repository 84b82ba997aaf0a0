#include "ui/main/desktopbus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <atomic>

namespace {

const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");

} // namespace

DesktopBus::DesktopBus(QObject *parent) : QObject(parent)
{
    // A connection of this window's own, to the bus of the session it starts in.
    static std::atomic<int> windows = 0;
    const QString name = QStringLiteral("prismora-desktop-%1").arg(++windows);
    // The address the environment names now: libdbus reads it once a process
    // and keeps it, even when it was missing then.
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    QDBusConnection bus = address.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)
                                            : QDBusConnection::connectToBus(address, name);
    if (!bus.isConnected()) {
        QDBusConnection::disconnectFromBus(name);
        return;
    }
    m_connection = name;
    bus.connect(QString(), kNotificationsPath, kNotifications, QStringLiteral("ActionInvoked"), this,
                SLOT(actionInvoked(uint,QString)));
}

DesktopBus::~DesktopBus()
{
    hideProgress(true);
    if (!m_connection.isEmpty())
        QDBusConnection::disconnectFromBus(m_connection);
}

void DesktopBus::setProgress(int percent)
{
    if (m_connection.isEmpty() || percent == m_percent)
        return;
    m_percent = percent;
    sendProgress(percent / 100.0, true);
}

void DesktopBus::hideProgress(bool beforeTheEnd)
{
    if (m_percent < 0)
        return;
    m_percent = -1;
    sendProgress(0.0, false);
    if (beforeTheEnd)
        waitUntilSent();
}

// The program ends right after this: the bus answers a question only once it
// has what was sent before, and a quarter of a second is enough to wait for that.
void DesktopBus::waitUntilSent()
{
    QDBusMessage ping = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                       QStringLiteral("/org/freedesktop/DBus"),
                                                       QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    QDBusConnection(m_connection).call(ping, QDBus::Block, 250);
}

void DesktopBus::offerActivation(std::function<void(const QString &)> activate)
{
    if (m_connection.isEmpty())
        return;
    m_activate = std::move(activate);
    QDBusConnection bus(m_connection);
    bus.registerObject(QLatin1String(kObjectPath), this, QDBusConnection::ExportScriptableSlots);
    bus.registerService(QLatin1String(kDesktopEntry));
}

void DesktopBus::Activate(const QVariantMap &platformData)
{
    // "activation-token" is Wayland's; launchers that predate it send the
    // same token as "desktop-startup-id".
    QString token = platformData.value(QStringLiteral("activation-token")).toString();
    if (token.isEmpty())
        token = platformData.value(QStringLiteral("desktop-startup-id")).toString();
    if (m_activate)
        m_activate(token);
}

void DesktopBus::activateRunningInstance()
{
    if (m_connection.isEmpty())
        return;
    QVariantMap platformData;
    if (const QString token = qEnvironmentVariable("XDG_ACTIVATION_TOKEN"); !token.isEmpty())
        platformData.insert(QStringLiteral("activation-token"), token);
    if (const QString id = qEnvironmentVariable("DESKTOP_STARTUP_ID"); !id.isEmpty())
        platformData.insert(QStringLiteral("desktop-startup-id"), id);
    QDBusMessage activate =
        QDBusMessage::createMethodCall(QLatin1String(kDesktopEntry), QLatin1String(kObjectPath),
                                       QStringLiteral("org.freedesktop.Application"), QStringLiteral("Activate"));
    activate << platformData;
    // The running instance is asked, not started, and its answer not awaited:
    // this one ends as soon as the bus has the request.
    activate.setAutoStartService(false);
    QDBusConnection(m_connection).send(activate);
    waitUntilSent();
}

void DesktopBus::sendProgress(double progress, bool visible)
{
    QDBusMessage update = QDBusMessage::createSignal(QStringLiteral("/org/example/prismora"),
                                                     QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                     QStringLiteral("Update"));
    update << QStringLiteral("application://%1.desktop").arg(QLatin1String(kDesktopEntry))
           << QVariantMap{{QStringLiteral("progress"), progress}, {QStringLiteral("progress-visible"), visible}};
    QDBusConnection(m_connection).send(update);
}

void DesktopBus::notify(const QString &summary, const QString &body, std::function<void()> activated)
{
    if (m_connection.isEmpty())
        return;
    m_activated = std::move(activated);
    QDBusMessage call =
        QDBusMessage::createMethodCall(kNotifications, kNotificationsPath, kNotifications, QStringLiteral("Notify"));
    call << QStringLiteral("Prismora") << 0u << QStringLiteral("prismora") << summary << body
         << QStringList{QStringLiteral("default"), QStringLiteral("Show Prismora")}
         << QVariantMap{{QStringLiteral("desktop-entry"), QLatin1String(kDesktopEntry)}} << -1;
    // Never waited for: without a notification service the answer is an error, and nothing more.
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection(m_connection).asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *done) {
        const QDBusPendingReply<uint> reply = *done;
        if (reply.isValid())
            m_notifications.insert(reply.value());
        done->deleteLater();
    });
}

void DesktopBus::actionInvoked(uint id, const QString &action)
{
    if (action == QLatin1String("default") && m_notifications.contains(id) && m_activated)
        m_activated();
}
