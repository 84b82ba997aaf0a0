#include "platform/instancelock.h"

#include <QDir>
#include <QStandardPaths>

bool InstanceLock::anotherInstanceRuns()
{
    if (m_lock && m_lock->isLocked())
        return false;
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    QDir().mkpath(folder);
    m_lock = std::make_unique<QLockFile>(folder + QStringLiteral("/prismora.lock"));
    m_lock->setStaleLockTime(0); // only a dead owner makes a lock stale
    return !m_lock->tryLock(0);
}
