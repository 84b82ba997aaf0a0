#include "platform/instancelock.h"

#include <QDir>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>

namespace {

bool processRuns(qint64 pid)
{
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

} // namespace

QString InstanceLock::lockPath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder + QStringLiteral("/prismora.lock");
}

bool InstanceLock::anotherInstanceRuns()
{
    if (m_lock && m_lock->isLocked())
        return false;
    const QString path = lockPath();
    QDir().mkpath(QFileInfo(path).path());
    m_lock = std::make_unique<QLockFile>(path);
    m_lock->setStaleLockTime(0); // only a dead owner makes a lock stale
    if (m_lock->tryLock(0))
        return false;
    // Only a lock that names a live process is another instance. Anything
    // else (a broken lock file, a folder in its place, a folder we may not
    // write) must not keep the program from starting: it runs without the lock.
    if (m_lock->error() != QLockFile::LockFailedError)
        return false;
    qint64 pid = 0;
    QString host, app;
    if (m_lock->getLockInfo(&pid, &host, &app) && processRuns(pid))
        return true;
    if (m_lock->removeStaleLockFile())
        m_lock->tryLock(0);
    return false;
}
