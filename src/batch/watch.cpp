#include "batch/watch.h"

#include "filesys/paths.h"
#include "platform/fileio.h"
#include "platform/findfiles.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// What a folder is told of: files complete (closed after writing, or renamed
// in), files being written, folders made or moved in, and its own end.
constexpr std::uint32_t kEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY | IN_DELETE_SELF
                                  | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

bool isBitmapName(const QString &name)
{
    return MatchesPattern(name, QStringLiteral("*.bmp"));
}

} // namespace

FolderWatch::FolderWatch(BatchRun &run, Platform &platform, const RunSettings &settings, const QStringList &names,
                         const QStringList &folders, int stopFd, std::function<void()> afterPass,
                         std::chrono::milliseconds rescanEvery)
    : m_run(run), m_platform(platform), m_settings(settings), m_names(names), m_folders(folders), m_stopFd(stopFd),
      m_afterPass(std::move(afterPass)),
      m_rescanEvery(std::clamp(rescanEvery, std::chrono::milliseconds(1), std::chrono::milliseconds(INT_MAX)))
{
    m_settings.update = true;
    m_settings.watching = true;
    for (const QString &folder : folders)
        if (!QFileInfo(folder).isDir()) // the command line has named it
            m_missing.insert(folder);
}

FolderWatch::~FolderWatch()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

BatchOutcome FolderWatch::run()
{
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        ShowNotice(m_platform, QStringLiteral("Cannot watch the folders: %1.").arg(SystemErrorText(errno)),
                   QStringLiteral("Processing Error"));
        return BatchOutcome::Failed;
    }
    BatchOutcome outcome = rescan(true);
    auto next = Clock::now() + m_rescanEvery;
    while (outcome != BatchOutcome::Failed && !m_run.stopRequested()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        // Asleep until something happens, or the next rescan is due.
        const long long wait = std::clamp<long long>(left, 0, m_rescanEvery.count());
        const int ready = m_rescanSoon ? 0 : ::poll(fds, 2, static_cast<int>(wait));
        if (ready < 0 && errno != EINTR) {
            ShowNotice(m_platform, QStringLiteral("Cannot watch the folders: %1.").arg(SystemErrorText(errno)),
                       QStringLiteral("Processing Error"));
            return BatchOutcome::Failed;
        }
        if ((fds[1].revents & POLLIN) != 0 || m_run.stopRequested())
            break;
        if ((fds[0].revents & POLLIN) != 0) {
            readEvents();
            outcome = pass(takePending(), false);
        }
        if (m_rescanSoon || Clock::now() >= next) {
            m_rescanSoon = false;
            if (outcome != BatchOutcome::Failed && !m_run.stopRequested())
                outcome = rescan(false);
            next = Clock::now() + m_rescanEvery;
        }
    }
    return outcome == BatchOutcome::Failed ? outcome : BatchOutcome::Stopped;
}

void FolderWatch::addWatch(const QString &folder, const QString &destination, bool listed)
{
    const int wd = ::inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), kEvents);
    if (wd < 0) {
        // Its files are still found by the rescans.
        if (listed || errno == ENOSPC)
            ShowNotice(m_platform,
                       QStringLiteral("Cannot watch the folder \"%1\": %2; it is looked at once a minute.")
                           .arg(folder, SystemErrorText(errno)),
                       QStringLiteral("Image Info"));
        return;
    }
    // The same folder by another path (renamed, or listed twice) keeps its one watch.
    auto found = m_watches.find(wd);
    if (found == m_watches.end() || !found->listed)
        m_watches.insert(wd, {folder, destination, listed});
    m_entered.insert(wd);
}

// Walks every listed folder again, watching each folder before it is
// listed, so that nothing arriving meanwhile is missed.
BatchOutcome FolderWatch::rescan(bool first)
{
    FolderWalk walk(m_settings, m_names);
    bool listed = false;
    walk.entering = [&](const QString &folder, const QString &destination) {
        addWatch(folder, destination, listed);
        listed = false;
    };
    QList<FolderFiles> work;
    qsizetype total = 0;
    m_entered.clear();
    for (const QString &folder : m_folders) {
        if (folder.isEmpty())
            continue;
        if (!QFileInfo(folder).isDir()) {
            if (!m_missing.contains(folder))
                ShowNotice(m_platform,
                           QStringLiteral("The folder \"%1\" no longer exists; it is looked for once a minute.").arg(folder),
                           QStringLiteral("Image Info"));
            m_missing.insert(folder);
            continue;
        }
        m_missing.remove(folder);
        listed = true;
        walk.walk(folder, m_settings.outputRoot.isEmpty() ? folder : MirroredFolder(m_settings.outputRoot, folder),
                  &work, &total);
    }
    // Folders no longer in the tree are no longer watched.
    for (auto it = m_watches.begin(); it != m_watches.end();) {
        if (m_entered.contains(it.key())) {
            ++it;
            continue;
        }
        ::inotify_rm_watch(m_fd, it.key());
        it = m_watches.erase(it);
    }
    if (!first) {
        // Files being written wait for their close; sources that could not be
        // split are not reported again until they change.
        for (FolderFiles &folder : work) {
            for (qsizetype i = folder.filePaths.size() - 1; i >= 0; --i) {
                const QString &path = folder.filePaths[i];
                const auto refused = m_refused.constFind(path);
                if (m_writing.contains(path) || (refused != m_refused.cend() && *refused == stampOf(path))) {
                    folder.filePaths.removeAt(i);
                    folder.fileSizes.removeAt(i);
                }
            }
            QStringList names;
            for (const QString &name : std::as_const(folder.unreadableNames))
                if (!m_unreadableNamed.contains(AddBackslash(folder.folderPath) + name))
                    names.append(name);
            folder.unreadableNames = names;
        }
    }
    return pass(work, first);
}

BatchOutcome FolderWatch::pass(const QList<FolderFiles> &work, bool first)
{
    for (const FolderFiles &folder : work)
        for (const QString &name : folder.unreadableNames)
            m_unreadableNamed.insert(AddBackslash(folder.folderPath) + name);
    RunSettings settings = m_settings;
    settings.listUpToDate = first; // as --update lists them; later passes say only what they did
    m_run.setSettings(settings);
    const BatchOutcome outcome = m_run.runFiles(work);
    m_placed += m_run.filesPlaced();
    if (m_afterPass)
        m_afterPass();
    return outcome;
}

void FolderWatch::fileDone(const QString &path, const QString &result)
{
    if (result == QLatin1String("OK"))
        m_refused.remove(path);
    else
        m_refused.insert(path, stampOf(path));
}

QString FolderWatch::stampOf(const QString &path) const
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return QStringLiteral("%1 %2 %3.%4 %5.%6")
        .arg(st.st_ino)
        .arg(st.st_size)
        .arg(st.st_mtim.tv_sec)
        .arg(st.st_mtim.tv_nsec)
        .arg(st.st_ctim.tv_sec)
        .arg(st.st_ctim.tv_nsec);
}

void FolderWatch::readEvents()
{
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return; // EAGAIN: all read
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                m_rescanSoon = true; // events were lost
                continue;
            }
            const auto found = m_watches.constFind(event->wd);
            if (found == m_watches.cend())
                continue;
            const Watched folder = *found;
            if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                if (!folder.listed && (event->mask & IN_IGNORED) == 0)
                    continue; // a subfolder moved within the tree is watched under its new name
                m_watches.remove(event->wd);
                ::inotify_rm_watch(m_fd, event->wd);
                if (folder.listed && !m_missing.contains(folder.path)) {
                    m_missing.insert(folder.path);
                    ShowNotice(m_platform,
                               QStringLiteral("The folder \"%1\" no longer exists; it is looked for once a minute.")
                                   .arg(folder.path),
                               QStringLiteral("Image Info"));
                }
                continue;
            }
            if (event->len == 0)
                continue;
            const QByteArray raw(event->name);
            const QString name = QFile::decodeName(raw);
            if (QFile::encodeName(name) != raw)
                continue; // the rescan names it
            const QString path = AddBackslash(folder.path) + name;
            if ((event->mask & IN_ISDIR) != 0) {
                if ((event->mask & (IN_CREATE | IN_MOVED_TO)) == 0)
                    continue;
                FolderWalk walk(m_settings, m_names);
                if (!walk.enters(name) || walk.isOutputRoot(path))
                    continue;
                walk.entering = [this](const QString &sub, const QString &destination) {
                    addWatch(sub, destination, false);
                };
                QList<FolderFiles> work;
                qsizetype total = 0;
                walk.walk(path, AddBackslash(folder.destination) + name, &work, &total);
                // A folder moved in brings its files complete; in one just made they may still be
                // written, and wait for their close (or the rescan, for those moved in meanwhile).
                if ((event->mask & IN_MOVED_TO) != 0)
                    for (const FolderFiles &files : std::as_const(work))
                        for (const QString &file : files.filePaths)
                            queue({files.folderPath, files.destination, false}, QFileInfo(file).fileName());
                continue;
            }
            if (!isBitmapName(name))
                continue;
            if ((event->mask & IN_MODIFY) != 0) { // a file linked in whole is never modified
                m_writing.insert(path);
            } else if ((event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0) {
                m_writing.remove(path);
                queue(folder, name);
            }
        }
    }
}

void FolderWatch::queue(const Watched &folder, const QString &name)
{
    const QString path = AddBackslash(folder.path) + name;
    if (m_pendingFiles.contains(path))
        return;
    m_pendingFiles.insert(path);
    for (Pending &pending : m_pending)
        if (pending.folder == folder.path) {
            pending.names.append(name);
            return;
        }
    m_pending.append({folder.path, folder.destination, {name}});
}

QList<FolderFiles> FolderWatch::takePending()
{
    QList<FolderFiles> work;
    for (const Pending &pending : std::as_const(m_pending)) {
        FolderFiles files{pending.folder, {}, {}, {}, pending.destination};
        for (const QString &name : pending.names) {
            const QString path = AddBackslash(pending.folder) + name;
            struct stat st {};
            if (::stat(QFile::encodeName(path).constData(), &st) != 0 || S_ISDIR(st.st_mode))
                continue; // gone again before its turn: nothing to split
            files.filePaths.append(path);
            files.fileSizes.append(st.st_size);
        }
        if (!files.filePaths.isEmpty())
            work.append(files);
    }
    m_pending.clear();
    m_pendingFiles.clear();
    return work;
}
