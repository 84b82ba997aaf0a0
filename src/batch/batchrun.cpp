#include "batch/batchrun.h"

#include "bitmap/splitter.h"
#include "filesys/filesearch.h"
#include "filesys/paths.h"
#include "platform/fileio.h"
#include "platform/platform.h"

#include <QFileInfo>

namespace {

// Thrown between bands to abandon the file in progress when the run must stop.
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
    if (m_running) {
        m_platform.beep();
        return BatchOutcome::Busy;
    }
    m_running = true;
    m_stopRequested = false;
    struct Guard
    {
        bool &running;
        ~Guard() { running = false; }
    } guard{m_running};

    const QString red = m_window.redDirName();
    const QString green = m_window.greenDirName();
    const QString blue = m_window.blueDirName();

    if (m_window.folders().isEmpty()) {
        ShowNotice(m_platform, QStringLiteral("No folders have been added for processing."),
                   QStringLiteral("No Folders Added"));
        return BatchOutcome::NoFolders;
    }

    qsizetype total = 0;
    const QList<FolderFiles> work = CollectBitmapFiles(m_window.folders(), &total);
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
    } catch (const ProcessingError &error) {
        ShowNotice(m_platform, error.text(), QStringLiteral("Processing Error"));
        outcome = BatchOutcome::Failed;
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

void BatchRun::yieldDuringFile()
{
    if (m_sinceYield.isValid() && m_sinceYield.elapsed() < kYieldIntervalMs)
        return;
    m_platform.doEvents();
    m_sinceYield.start();
    // Leaving the program abandons the file in progress: its channel file is
    // dropped, an older one stays.
    if (m_stopRequested)
        throw StopRequested{};
}

void BatchRun::splitOne(const FolderFiles &folder, qsizetype index, const QString &red, const QString &green,
                        const QString &blue)
{
    const QString &path = folder.filePaths[index];
    const BandHook onBand = [this] { yieldDuringFile(); };
    // A refusal only passes the file over; but a file cut short since it was
    // found is a source that changed under the run, and the user is told.
    const QString result = SplitBitmap(path, red, green, blue, m_platform, onBand);
    if (result == TruncatedBitmapText() && QFileInfo(path).size() < folder.fileSizes[index])
        throw ProcessingError(
            QStringLiteral("Cannot read \"%1\": the file became shorter after it was found.").arg(path),
            FaultSide::Source);
    m_window.fileDone(path, result);
}

BatchOutcome BatchRun::process(const QList<FolderFiles> &work, qsizetype total, const QString &red,
                               const QString &green, const QString &blue)
{
    qsizetype started = 0;
    for (const FolderFiles &folder : work) {
        reportUnreadableNames(folder);
        const qsizetype count = folder.filePaths.size();
        for (qsizetype i = 0; i < count; ++i) {
            if (m_stopRequested)
                return BatchOutcome::Stopped;
            if (!FolderExists(folder.folderPath)) {
                reportFolderGone(folder.folderPath);
                break;
            }
            // One rule for every failure: a problem with one source ends no
            // run, the user is told and the next file follows; a problem with
            // a destination ends the run, since every later file would meet it.
            try {
                if (i == 0)
                    makeDestinationFolders(folder.folderPath, {red, green, blue});
                ++started;
                m_window.setThisFolderProgress(percent(i, count));
                m_window.setAllFilesProgress(percent(started, total));
                m_window.setStatusText(QStringLiteral("Splitting... ") + GetFileName(folder.filePaths[i]));
                m_sinceYield.start();
                splitOne(folder, i, red, green, blue);
            } catch (const ProcessingError &error) {
                if (!FolderExists(folder.folderPath)) { // whatever failed, the folder's loss is the cause
                    reportFolderGone(folder.folderPath);
                    break;
                }
                if (error.side() == FaultSide::Destination)
                    throw;
                m_window.fileDone(folder.filePaths[i], error.text());
                ShowNotice(m_platform, error.text(), QStringLiteral("Image Info"));
            }
            m_platform.doEvents();
        }
    }
    return BatchOutcome::Completed;
}

// A source folder taken away: one message for all its remaining files.
void BatchRun::reportFolderGone(const QString &folder)
{
    ShowNotice(m_platform,
               QStringLiteral("The folder \"%1\" no longer exists; its remaining files were passed over.").arg(folder),
               QStringLiteral("Image Info"));
}

void BatchRun::reportUnreadableNames(const FolderFiles &folder)
{
    for (const QString &name : folder.unreadableNames)
        ShowNotice(m_platform,
                   QStringLiteral("\"%1\" was passed over: its name is not valid in the file system's encoding.")
                       .arg(AddBackslash(folder.folderPath) + name),
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
