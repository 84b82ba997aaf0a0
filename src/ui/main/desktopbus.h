#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <functional>

// What the desktop is told of a run that the user may not be watching, over
// the session bus: its progress on the task bar, through the launcher entry
// API that KDE Plasma's task manager and the GNOME docks show, and a
// notification when it ends. The running instance also answers the
// desktop's org.freedesktop.Application, so that a second start brings it
// to the front. Without a session bus or a notification service nothing is
// sent or shown, and nothing ever waits for an answer.
class DesktopBus : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    // The desktop entry's name, which is also the bus name of the running instance.
    static constexpr const char *kDesktopEntry = "org.example.prismora";
    static constexpr const char *kObjectPath = "/org/example/prismora";

    explicit DesktopBus(QObject *parent = nullptr);
    ~DesktopBus() override;

    // The share of the run done, in whole percent: sent when it changes.
    void setProgress(int percent);
    // `beforeTheEnd`: the program is about to end, so the bus must have it first.
    void hideProgress(bool beforeTheEnd = false);
    // A notification in the application's name; its default action calls
    // `activated`.
    void notify(const QString &summary, const QString &body, std::function<void()> activated);

    // Takes the application's bus name; the desktop's Activate then calls
    // `activate` with the launcher's activation token, empty when it gave none.
    void offerActivation(std::function<void(const QString &token)> activate);
    // Asks the instance that holds the bus name to come to the front, passing
    // on this launch's token; returns once the bus has the request.
    void activateRunningInstance();

public slots:
    Q_SCRIPTABLE void Activate(const QVariantMap &platformData);

private slots:
    void actionInvoked(uint id, const QString &action);

private:
    void sendProgress(double progress, bool visible);
    void waitUntilSent();

    QString m_connection; // empty without a session bus
    int m_percent = -1;   // last sent; -1 while hidden
    QSet<uint> m_notifications;
    std::function<void()> m_activated;
    std::function<void(const QString &)> m_activate;
};
