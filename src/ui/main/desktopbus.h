#pragma once

#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

// What the desktop is told of a run that the user may not be watching, over
// the session bus: its progress on the task bar, through the launcher entry
// API that KDE Plasma's task manager and the GNOME docks show, and a
// notification when it ends. Without a session bus or a notification service
// nothing is sent or shown, and nothing ever waits for an answer.
class DesktopBus : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *kDesktopEntry = "org.example.prismora";

    explicit DesktopBus(QObject *parent = nullptr);
    ~DesktopBus() override;

    // The share of the run done, in whole percent: sent when it changes.
    void setProgress(int percent);
    // `beforeTheEnd`: the program is about to end, so the bus must have it first.
    void hideProgress(bool beforeTheEnd = false);
    // A notification in the application's name; its default action calls
    // `activated`.
    void notify(const QString &summary, const QString &body, std::function<void()> activated);

private slots:
    void actionInvoked(uint id, const QString &action);

private:
    void sendProgress(double progress, bool visible);

    QString m_connection; // empty without a session bus
    int m_percent = -1;   // last sent; -1 while hidden
    QSet<uint> m_notifications;
    std::function<void()> m_activated;
};
