#pragma once

#include "batch/batchrun.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

class Platform;

// Keeps splitting what arrives in the listed folders (and, when recursive, in
// their subfolders, new ones included) after a first pass under the update
// rule. A file is split once it is complete: when it is closed after writing
// or renamed into place, never while it is being written. A rescan once a
// minute, under the update rule, finds what inotify cannot see (a network
// mount written by another machine). Between events and rescans it sleeps.
class FolderWatch
{
public:
    // `stopFd` becomes readable when the watch is to end; the run's stop flag
    // ends it too. `afterPass` is called after every pass. The folders are
    // walked again every `rescanEvery`.
    FolderWatch(BatchRun &run, Platform &platform, const RunSettings &settings, const QStringList &names,
                const QStringList &folders, int stopFd, std::function<void()> afterPass,
                std::chrono::milliseconds rescanEvery = std::chrono::minutes(1));
    ~FolderWatch();
    FolderWatch(const FolderWatch &) = delete;
    FolderWatch &operator=(const FolderWatch &) = delete;

    // Until a stop (Stopped) or a problem with a destination (Failed).
    BatchOutcome run();
    // Files put in place over the whole watch.
    int filesPlaced() const { return m_placed; }
    // A file's result, for the memory of sources that could not be split.
    void fileDone(const QString &path, const QString &result);

private:
    struct Watched
    {
        QString path, destination;
        bool listed = false;
    };
    struct Pending
    {
        QString folder, destination;
        QStringList names;
    };

    BatchOutcome rescan(bool first);
    BatchOutcome pass(const QList<FolderFiles> &work, bool first);
    void addWatch(const QString &folder, const QString &destination, bool listed);
    void readEvents();
    void queue(const Watched &folder, const QString &name);
    QList<FolderFiles> takePending();
    QString stampOf(const QString &path) const;

    BatchRun &m_run;
    Platform &m_platform;
    RunSettings m_settings;
    QStringList m_names;
    QStringList m_folders;
    int m_stopFd;
    std::function<void()> m_afterPass;
    std::chrono::milliseconds m_rescanEvery;
    int m_fd = -1;
    QHash<int, Watched> m_watches;
    QSet<int> m_entered; // by the latest rescan
    QSet<QString> m_missing;  // listed folders not there, already named
    QSet<QString> m_writing;  // open for writing, as inotify tells
    QHash<QString, QString> m_refused; // sources not split, with their state then
    QSet<QString> m_unreadableNamed;
    QList<Pending> m_pending; // in arrival order, grouped by folder
    QSet<QString> m_pendingFiles;
    bool m_rescanSoon = false;
    int m_placed = 0;
};
