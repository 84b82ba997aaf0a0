#pragma once

#include <QString>
#include <QElapsedTimer>
#include <QStringList>

#include <atomic>

class Platform;

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
    // could not be read. Only a headless run lists these.
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
    Stopped,    // a stop was requested; the run ended between files
    Busy,       // a run was already in progress; only a beep
};

// The run behind the Process button: collect the bitmap files of every listed
// folder, create the destination folders, split every file.
class BatchRun
{
public:
    BatchRun(BatchWindow &window, Platform &platform) : m_window(window), m_platform(platform) {}

    BatchOutcome run();
    bool isRunning() const { return m_running; }
    // Ends a run in progress: no further file is started, and a large file
    // in progress is abandoned at its next band.
    void requestStop() { m_stopRequested = true; }

    static QString processingCaption() { return QStringLiteral("Prismora - Processing..."); }

private:
    BatchOutcome process(const QList<FolderFiles> &work, qsizetype total, const QString &red, const QString &green,
                         const QString &blue);
    void reportFolderGone(const QString &folder);
    void reportUnreadableNames(const FolderFiles &folder);
    void makeDestinationFolders(const QString &folder, const QStringList &names);
    void splitOne(const FolderFiles &folder, qsizetype index, const QString &red, const QString &green,
                  const QString &blue);
    // Keeps the window alive during a large file, at most every kYieldIntervalMs.
    void yieldDuringFile();
    void finish();

    static constexpr qint64 kYieldIntervalMs = 50;

    BatchWindow &m_window;
    Platform &m_platform;
    bool m_running = false;
    std::atomic<bool> m_stopRequested = false; // set from a signal-handling thread too
    QElapsedTimer m_sinceYield;
};
