#include "batch/batchrun.h"

#include "bitmap/splitter.h"
#include "filesys/filesearch.h"
#include "filesys/paths.h"
#include "platform/fileio.h"
#include "platform/platform.h"

#include <QFileInfo>

#include <algorithm>

namespace {

// Thrown between bands, or instead of putting a file in place, to abandon the
// file in progress when the run must stop.
struct StopRequested
{
};

int percent(qsizetype part, qsizetype whole)
{
    // Computed as a fraction first and then scaled, and cut to its integer part.
    return static_cast<int>(static_cast<double>(part) / static_cast<double>(whole) * 100.0);
}

} // namespace

BatchOutcome BatchRun::run()
{
    const QString red = m_window.redDirName();
    const QString green = m_window.greenDirName();
    const QString blue = m_window.blueDirName();

    const QStringList folders = m_window.folders();
    if (folders.isEmpty()) {
        ShowNotice(m_platform, QStringLiteral("No folders have been added for processing."),
                   QStringLiteral("No Folders Added"));
        return BatchOutcome::NoFolders;
    }

    qsizetype total = 0;
    const QList<FolderFiles> work = CollectBitmapFiles(folders, &total);
    if (m_stopRequested)
        return BatchOutcome::Stopped;
    if (total == 0) {
        for (const FolderFiles &folder : work) // names passed over still deserve a word
            reportUnreadableNames(folder);
        ShowNotice(m_platform, QStringLiteral("No bitmap files were found in the selected folders."),
                   QStringLiteral("No Files Found"));
        return BatchOutcome::NoFiles;
    }

    m_window.setCaption(processingCaption());
    BatchOutcome outcome;
    try {
        outcome = process(work, total, red, green, blue);
    } catch (const StopRequested &) {
        outcome = BatchOutcome::Stopped;
    }
    finish();
    return outcome;
}

QList<FolderFiles> CollectBitmapFiles(const QStringList &folders, qsizetype *total)
{
    QList<FolderFiles> work;
    *total = 0;
    for (const QString &folder : folders) {
        if (folder.isEmpty() || !FolderExists(folder))
            continue;
        FileList = QStringList{QString()};
        UnreadableNames.clear();
        FindBitmaps(folder);
        FolderFiles found{folder, {}, {}, UnreadableNames};
        if (!FileList.first().isEmpty()) {
            found.filePaths = FileList;
            found.fileSizes.reserve(FileList.size());
            for (const QString &path : FileList)
                found.fileSizes.append(QFileInfo(path).size());
        }
        if (found.filePaths.isEmpty() && found.unreadableNames.isEmpty())
            continue;
        *total += found.filePaths.size();
        work.append(found);
    }
    return work;
}

void BatchRun::throwIfStopped() const
{
    if (m_stopRequested)
        throw StopRequested{};
}

void BatchRun::stopAndSettle()
{
    std::unique_lock lock(m_placingLock);
    requestStop();
    m_placed.wait_for(lock, kSettleLimit, [this] { return !m_placingNow; });
}

void BatchRun::splitOne(const FolderFiles &folder, qsizetype index, const QString &red, const QString &green,
                        const QString &blue)
{
    SplitControl control;
    control.afterBand = [this] { throwIfStopped(); };
    control.commit = [this](const std::function<void()> &link) {
        {
            const std::lock_guard lock(m_placingLock);
            throwIfStopped();
            m_placingNow = true;
        }
        const struct Placed
        {
            BatchRun &run;
            ~Placed()
            {
                const std::lock_guard lock(run.m_placingLock);
                run.m_placingNow = false;
                run.m_placed.notify_all();
            }
        } placed{*this};
        link();
    };
    control.foundSize = folder.fileSizes[index];
    // A refusal passes the file over in silence; the bars already count it.
    m_window.fileDone(folder.filePaths[index], SplitBitmap(folder.filePaths[index], red, green, blue, control));
}

// The one error rule of a run, for every failure met while a folder's
// destinations are made or a file is split.
//  - A problem with one source ends no run: a file deleted, unreadable or
//    smaller than when it was found, or a read that ends early. One "Image
//    Info" message names the file, and the next file follows.
//  - A source folder that is gone is the cause of whatever failed in it: one
//    message names the folder, and its remaining files are passed over.
//  - A problem with a destination ends the run, since every later file would
//    meet it too: a folder that cannot be made, a file that cannot be written,
//    a full disk. A "Processing Error" names it, with the system's reason.
BatchRun::AfterFailure BatchRun::applyErrorRule(const ProcessingError &error, const QString &folder)
{
    if (!FolderExists(folder)) {
        ShowNotice(m_platform,
                   QStringLiteral("The folder \"%1\" no longer exists; its remaining files were passed over.")
                       .arg(folder),
                   QStringLiteral("Image Info"));
        return AfterFailure::NextFolder;
    }
    if (error.side() == FaultSide::Destination) {
        ShowNotice(m_platform, error.text(), QStringLiteral("Processing Error"));
        return AfterFailure::EndRun;
    }
    ShowNotice(m_platform, error.text(), QStringLiteral("Image Info"));
    return AfterFailure::NextFile;
}

BatchOutcome BatchRun::process(const QList<FolderFiles> &work, qsizetype total, const QString &red,
                               const QString &green, const QString &blue)
{
    qsizetype started = 0;
    for (const FolderFiles &folder : work) {
        throwIfStopped();
        reportUnreadableNames(folder);
        const qsizetype count = folder.filePaths.size();
        for (qsizetype i = 0; i < count; ++i) {
            throwIfStopped();
            try {
                if (i == 0)
                    makeDestinationFolders(folder.folderPath, {red, green, blue});
                ++started;
                m_window.setThisFolderProgress(percent(i, count));
                m_window.setAllFilesProgress(percent(started, total));
                m_window.setStatusText(QStringLiteral("Splitting... ") + GetFileName(folder.filePaths[i]));
                splitOne(folder, i, red, green, blue);
            } catch (const ProcessingError &error) {
                m_window.fileDone(folder.filePaths[i], error.text());
                const AfterFailure next = applyErrorRule(error, folder.folderPath);
                if (next == AfterFailure::EndRun)
                    return BatchOutcome::Failed;
                if (next == AfterFailure::NextFolder)
                    break;
            }
        }
    }
    return BatchOutcome::Completed;
}

// Names the file system's encoding cannot carry cannot be opened either. A
// folder restored from an old archive may hold hundreds: one message per
// folder names a few.
void BatchRun::reportUnreadableNames(const FolderFiles &folder)
{
    const QStringList &names = folder.unreadableNames;
    if (names.isEmpty())
        return;
    if (names.size() == 1) {
        ShowNotice(m_platform,
                   QStringLiteral("\"%1\" was passed over: its name is not valid in the file system's encoding.")
                       .arg(AddBackslash(folder.folderPath) + names.first()),
                   QStringLiteral("Image Info"));
        return;
    }
    constexpr qsizetype kNamesShown = 5;
    QStringList shown;
    for (const QString &name : names.first(std::min(names.size(), kNamesShown)))
        shown.append(QLatin1Char('"') + name + QLatin1Char('"'));
    if (names.size() > kNamesShown)
        shown.append(QStringLiteral("and %1 more").arg(names.size() - kNamesShown));
    ShowNotice(m_platform,
               QStringLiteral("%1 files in \"%2\" were passed over: their names are not valid in the file system's "
                              "encoding (%3).")
                   .arg(names.size())
                   .arg(folder.folderPath, shown.join(QStringLiteral(", "))),
               QStringLiteral("Image Info"));
}

void BatchRun::makeDestinationFolders(const QString &folder, const QStringList &names)
{
    for (const QString &name : names) {
        const QString destination = folder + QLatin1Char('/') + name;
        QString reason;
        if (!FolderExists(destination) && !MakeFolder(destination, &reason))
            throw ProcessingError(QStringLiteral("Cannot create the folder \"%1\": %2.").arg(destination, reason),
                                  FaultSide::Destination);
    }
}

void BatchRun::finish()
{
    m_window.setCaption(QStringLiteral("Prismora"));
    m_window.setThisFolderProgress(0);
    m_window.setAllFilesProgress(0);
    m_window.setStatusText(QStringLiteral("Ready..."));
}
