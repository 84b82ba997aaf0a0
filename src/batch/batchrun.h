#pragma once

#include "platform/fileio.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

class Platform;
class ProcessingError;
class Workers;
struct SplitPlan;

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
    // A run that went through its files has ended, after its last change to
    // the window: how many files it split, from how many folders, and the
    // text of the error that ended it, if one did.
    virtual void runEnded(int /*filesSplit*/, int /*folders*/, const QString & /*error*/) {}
};

// One listed folder that holds bitmap files, with their full paths.
struct FolderFiles
{
    QString folderPath;
    QStringList filePaths;
    QList<qint64> fileSizes; // as found, to tell a file cut short since
    QStringList unreadableNames; // "*.bmp" names the file system's encoding cannot carry
    QString destination; // the folder its destination folders go into; empty: folderPath itself
};

// The collecting phase: the "*.bmp" files directly inside each listed folder,
// folder by folder in list order, leaving out folders that are missing or hold
// none. `total` receives the number of files.
QList<FolderFiles> CollectBitmapFiles(const QStringList &folders, qsizetype *total);

// What a run from the command line may do beyond the window's run, which
// keeps the defaults.
struct RunSettings
{
    bool recursive = false; // subfolders too, depth first
    bool update = false;    // sources whose outputs are up to date are passed over
    QString outputRoot;     // outputs mirrored under it; empty: beside the sources
    bool watching = false;    // a watch's pass: finding nothing is no news
    bool listUpToDate = true; // fileDone() for a source passed over as up to date
};

// The result of a source passed over by the update rule.
inline QString UpToDateResult()
{
    return QStringLiteral("up to date");
}

// Where the outputs of listed `folder` go with `outputRoot`: under it, in a
// folder of the listed folder's last name. Empty for a folder without a name
// ("/").
QString MirroredFolder(const QString &outputRoot, const QString &folder);

// The collecting phase of a command-line run: each listed folder's files and,
// when recursive, those of its subfolders, depth first, a folder's own files
// before its subfolders, in the listing's order. Never entered: hidden
// folders, links to folders, folders already walked (by device and inode, so
// a bind mount or a folder listed twice is walked once), the output root, and,
// when the outputs go beside the sources, subfolders with a destination name.
class FolderWalk
{
public:
    FolderWalk(RunSettings settings, QStringList destinationNames);

    // Told of every folder before it is listed, with where its outputs go.
    std::function<void(const QString &folder, const QString &destination)> entering;

    // Adds `folder`, whose outputs go to `destination` (empty: beside it), and
    // with recursion its subfolders, to `work`, and their files to `total`.
    void walk(const QString &folder, const QString &destination, QList<FolderFiles> *work, qsizetype *total);
    // Every listed folder, each with its destination.
    QList<FolderFiles> collect(const QStringList &folders, qsizetype *total);
    // A subfolder named `name` of a walked folder is to be walked too.
    bool enters(const QString &name) const;
    // True for the output root itself.
    bool isOutputRoot(const QString &folder) const;
    // Folders walked so far count no more: the next walk may enter them again.
    void forget() { m_visited.clear(); }

private:
    RunSettings m_settings;
    QStringList m_destinationNames;
    QString m_outputRoot; // clean and absolute
    QSet<std::pair<quint64, quint64>> m_visited;
};

enum class BatchOutcome {
    InvalidName, // a destination name would put the outputs among the sources; nothing was done
    NoFolders,   // the list was empty
    NoFiles,     // no listed folder held a bitmap file
    Completed,   // every file was split, refused, or reported as a problem (see problems())
    Failed,      // an error ended the run; the user was told
    Stopped,     // a stop was requested; the files not yet in place were abandoned
};

// The run behind the Process button: collect the bitmap files of every listed
// folder, create the destination folders, split every file. It runs to its end
// on the calling thread; another thread may ask it to stop.
//
// It splits on every core. Sources are split ahead of their turn, on the
// run's threads, each into three unnamed files; a large one's bands go to
// every thread that comes free meanwhile. Files are
// put in place strictly in list order, and everything the window and the user
// see (bars, status, messages, outputs appearing, what a full disk or a stop
// leaves) is as in a run of one file at a time: each file's turn comes when
// the one before it is in place.
class BatchRun
{
public:
    BatchRun(BatchWindow &window, Platform &platform);
    ~BatchRun();

    // The threads a run splits ahead with; 0, the default, is one per core.
    // This thread writes besides them only a file whose turn comes before one
    // of them began it. With one, there are none: files are split one at a
    // time on this thread.
    void setThreads(int threads) { m_threads = threads; }
    // The window's run keeps the defaults.
    void setSettings(const RunSettings &settings) { m_settings = settings; }

    BatchOutcome run();
    // A run over `work` as collected, for a watch: NoFiles, without a notice,
    // when it holds no file.
    BatchOutcome runFiles(const QList<FolderFiles> &work);
    // The problems the last run reported, each with an "Image Info" message:
    // sources that could not be read or changed under it, vanished folders,
    // names the file system cannot carry. A refused file is no problem.
    int problems() const { return m_problems; }
    // The files of the last run whose outputs are in place; from any thread.
    int filesPlaced() const { return m_split; }

    // From any thread, without waiting: no further file is started or put in
    // place, and the files not yet in place are abandoned at their next band
    // (but for the channels already in place when a failed write had a file
    // split again one channel at a time). A stop asked for before the run
    // starts ends it at once.
    void requestStop() { m_stopRequested = true; }
    bool stopRequested() const { return m_stopRequested; }
    // Stops as requestStop() does and, should the run be putting a file's
    // outputs in place just now, waits until it has: afterwards no output of
    // a file not yet in place is put in place, whatever this thread does next
    // (ending the process included). A file system that does not answer by
    // `deadline` is not waited for any longer.
    void stopAndSettle(std::chrono::steady_clock::time_point deadline);

    // The run's output files, for the end of a process that abandons it.
    OutputSession &outputs() { return m_outputs; }

    static QString processingCaption() { return QStringLiteral("Prismora - Processing..."); }

private:
    class Ahead;
    struct Names;
    enum class AfterFailure { NextFile, NextFolder, EndRun };

    bool namesUsable(const Names &names);
    BatchOutcome processAll(const QList<FolderFiles> &work, qsizetype total, const Names &names);
    BatchOutcome process(const QList<FolderFiles> &work, qsizetype total, const Names &names);
    QString splitInTurn(const FolderFiles &folder, qsizetype index, const Names &names, bool channelByChannel,
                        Ahead &ahead, qsizetype turn);
    void placeInTurn(const std::function<void()> &place);
    AfterFailure applyErrorRule(const ProcessingError &error, const QString &folder);
    void reportProblem(const QString &text);
    void reportUnreadableNames(const FolderFiles &folder);
    bool makeDestinationFolders(const FolderFiles &folder, const Names &names);
    void throwIfStopped() const;
    void finish();

    BatchWindow &m_window;
    Platform &m_platform;
    int m_threads = 0;
    RunSettings m_settings;
    // Read by every thread for each file, and so on a cache line of its own:
    // what the run's thread writes for each file lies apart from it.
    alignas(64) std::atomic<bool> m_stopRequested = false;
    alignas(64) int m_problems = 0;
    std::atomic<int> m_split = 0; // files put in place
    int m_splitFolders = 0; // folders they came from
    QString m_error;        // that ended the run
    // A stop comes either before a file's outputs are put in place or after
    // all of them are: the check and `m_placingNow` go under one lock.
    std::mutex m_placingLock;
    std::condition_variable m_placed;
    bool m_placingNow = false;
    OutputSession m_outputs;
};

// The end of a process that abandons a run (`run` may be null): no further
// output is put in place, the outputs being put in place just now are waited
// for, and the named temporary files being written are removed; all of it
// within `budget`, whatever the file system does. The process then ends with
// `code` without waiting for the run's threads. Used by the window closed
// mid-run and by a stop on the command line alike.
[[noreturn]] void SettleAndExit(BatchRun *run, int code, std::chrono::milliseconds budget);
// All of SettleAndExit() but the exit, for tests.
void SettleForExit(BatchRun *run, std::chrono::steady_clock::time_point deadline);
