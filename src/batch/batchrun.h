#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class Platform;
class ProcessingError;

// What the batch run needs of the window that starts it.
class BatchWindow
{
public:
    virtual ~BatchWindow() = default;

    virtual void setCaption(const QString &caption) = 0;
    virtual void setThisFolderProgress(int value) = 0;
    virtual void setAllFilesProgress(int value) = 0;
    virtual void setStatusText(const QString &text) = 0;
    virtual QString redDirName() const = 0;
    virtual QString greenDirName() const = 0;
    virtual QString blueDirName() const = 0;
    // The source folders, exactly as listed.
    virtual QStringList folders() const = 0;
    // A file is done with: `result` is "OK", the refusal text, or why it
    // could not be split. Only a headless run lists these.
    virtual void fileDone(const QString & /*path*/, const QString & /*result*/) {}
};

// One listed folder that holds bitmap files, with their full paths.
struct FolderFiles
{
    QString folderPath;
    QStringList filePaths;
    QList<qint64> fileSizes; // as found, to tell a file cut short since
    QStringList unreadableNames; // "*.bmp" names the file system's encoding cannot carry
};

// The collecting phase: the "*.bmp" files directly inside each listed folder,
// folder by folder in list order, leaving out folders that are missing or hold
// none. `total` receives the number of files.
QList<FolderFiles> CollectBitmapFiles(const QStringList &folders, qsizetype *total);

enum class BatchOutcome {
    NoFolders,  // the list was empty
    NoFiles,    // no listed folder held a bitmap file
    Completed,  // every file was split or refused
    Failed,     // an error ended the run; the user was told
    Stopped,    // a stop was requested; the file in progress was abandoned
};

// The run behind the Process button: collect the bitmap files of every listed
// folder, create the destination folders, split every file. It runs to its end
// on the calling thread; another thread may ask it to stop.
class BatchRun
{
public:
    BatchRun(BatchWindow &window, Platform &platform) : m_window(window), m_platform(platform) {}

    BatchOutcome run();

    // From any thread, without waiting: no further file is started, the file
    // in progress is abandoned at its next band, and none of its outputs is
    // put in place (but for the channels already in place when a failed write
    // had it split again one channel at a time). A stop asked for before the
    // run starts ends it at once.
    void requestStop() { m_stopRequested = true; }
    // Stops as requestStop() does and, should the run be putting a file's
    // outputs in place just now, waits until it has: afterwards no output of
    // the file in progress is put in place, whatever this thread does next
    // (ending the process included). A file system that does not answer for
    // kSettleLimit is not waited for any longer.
    void stopAndSettle();
    static constexpr std::chrono::seconds kSettleLimit{5};

    static QString processingCaption() { return QStringLiteral("Prismora - Processing..."); }

private:
    BatchOutcome process(const QList<FolderFiles> &work, qsizetype total, const QString &red, const QString &green,
                         const QString &blue);
    enum class AfterFailure { NextFile, NextFolder, EndRun };
    AfterFailure applyErrorRule(const ProcessingError &error, const QString &folder);
    void reportUnreadableNames(const FolderFiles &folder);
    void makeDestinationFolders(const QString &folder, const QStringList &names);
    void splitOne(const FolderFiles &folder, qsizetype index, const QString &red, const QString &green,
                  const QString &blue);
    void throwIfStopped() const;
    void finish();

    BatchWindow &m_window;
    Platform &m_platform;
    std::atomic<bool> m_stopRequested = false;
    // A stop comes either before a file's outputs are put in place or after
    // all of them are: the check and `m_placingNow` go under one lock.
    std::mutex m_placingLock;
    std::condition_variable m_placed;
    bool m_placingNow = false;
};
