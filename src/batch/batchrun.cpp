#include "batch/batchrun.h"

#include "bitmap/splitter.h"
#include "filesys/filesearch.h"
#include "filesys/paths.h"
#include "platform/fileio.h"
#include "platform/platform.h"

#include <QFileInfo>

namespace {

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
        FindBitmaps(folder);
        if (FileList.first().isEmpty())
            continue;
        FolderFiles found{folder, FileList, {}};
        found.fileSizes.reserve(FileList.size());
        for (const QString &path : FileList)
            found.fileSizes.append(QFileInfo(path).size());
        work.append(found);
        *total += FileList.size();
    }
    return work;
}

BatchOutcome BatchRun::process(const QList<FolderFiles> &work, qsizetype total, const QString &red,
                               const QString &green, const QString &blue)
{
    qsizetype started = 0;
    for (const FolderFiles &folder : work) {
        for (const QString &name : {red, green, blue}) {
            const QString destination = folder.folderPath + QLatin1Char('/') + name;
            QString reason;
            if (!FolderExists(destination) && !MakeFolder(destination, &reason))
                throw ProcessingError(
                    QStringLiteral("Cannot create the folder \"%1\": %2.").arg(destination, reason));
        }
        const qsizetype count = folder.filePaths.size();
        for (qsizetype i = 0; i < count; ++i) {
            if (m_stopRequested)
                return BatchOutcome::Stopped;
            const QString &path = folder.filePaths[i];
            // A source folder taken away mid-run ends the run with one clear
            // message, not one message per file it held.
            if (!FolderExists(folder.folderPath))
                throw ProcessingError(QStringLiteral("Cannot read \"%1\": the folder \"%2\" no longer exists.")
                                          .arg(path, folder.folderPath));
            ++started;
            m_window.setThisFolderProgress(percent(i, count));
            m_window.setAllFilesProgress(percent(started, total));
            m_window.setStatusText(QStringLiteral("Splitting... ") + GetFileName(path));
            // A refusal only passes the file over; but a file cut short since it
            // was found is a fault of the run, not a malformed bitmap.
            if (SplitBitmap(path, red, green, blue, m_platform) == TruncatedBitmapText()
                && QFileInfo(path).size() < folder.fileSizes[i])
                throw ProcessingError(
                    QStringLiteral("Cannot read \"%1\": the file became shorter after it was found.").arg(path));
            m_platform.doEvents();
        }
    }
    return BatchOutcome::Completed;
}

void BatchRun::finish()
{
    m_window.setCaption(QStringLiteral("Prismora"));
    m_window.setThisFolderProgress(0);
    m_window.setAllFilesProgress(0);
    m_window.setStatusText(QStringLiteral("Ready..."));
}
