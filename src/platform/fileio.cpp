#include "platform/fileio.h"

#include <QFile>
#include <QSet>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

SourceFile::~SourceFile()
{
    close();
}

bool SourceFile::open(const QString &path)
{
    close();
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty()) {
        m_error = systemError(ENOENT);
        return false;
    }
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        m_error = systemError(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        m_error = systemError(errno);
        ::close(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        m_error = systemError(EISDIR);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        m_error = QStringLiteral("Not a regular file");
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_size = st.st_size;
    m_error.clear();
    return true;
}

void SourceFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_size = 0;
}

std::int64_t SourceFile::readAt(std::int64_t offset, void *buffer, std::size_t count)
{
    auto *out = static_cast<char *>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(m_fd, out + done, count - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_error = systemError(errno);
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

namespace {

bool s_unnamedAllowed = true;
using Fault = std::function<int(AtomicOutputFile::Step, std::size_t)>;
// Both threads of a split may call it while a test sets another: each call
// keeps the one it took alive.
std::mutex s_faultLock;
std::shared_ptr<const Fault> s_fault;

int injectedFault(AtomicOutputFile::Step step, std::size_t count = 0)
{
    std::shared_ptr<const Fault> fault;
    {
        const std::lock_guard lock(s_faultLock);
        fault = s_fault;
    }
    return fault ? (*fault)(step, count) : 0;
}

// Folders whose file system takes unnamed files but refuses to link them.
std::mutex s_noLinkLock;
QSet<QByteArray> s_noLinkFolders;

// Named temporary files being written, for closeAll().
std::mutex s_liveLock;
QSet<QByteArray> s_liveNamed;
bool s_closed = false;

void forgetNamed(const QByteArray &name)
{
    const std::lock_guard lock(s_liveLock);
    s_liveNamed.remove(name);
}

bool linksRefusedIn(const QByteArray &folder)
{
    const std::lock_guard lock(s_noLinkLock);
    return s_noLinkFolders.contains(folder);
}

// A full disk or a missing folder would fail a named file just the same; any
// other refusal is the file system's way with unnamed files.
bool linkRefused(int error)
{
    return error != ENOSPC && error != EDQUOT && error != ENOENT && error != ENOTDIR;
}

// The errors with which a file system or kernel says it has no unnamed files.
bool unnamedUnsupported(int error)
{
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS;
}

QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

// Hidden, and never ending in ".bmp", so no search ever takes it for a source.
QByteArray temporaryName(const QByteArray &final)
{
    const qsizetype slash = final.lastIndexOf('/');
    return final.left(slash + 1) + '.' + final.mid(slash + 1).left(200) + ".prismora-part";
}

// Gives the unnamed file the name `to`; fails with EEXIST when it is taken.
int linkDescriptor(int fd, const QByteArray &to)
{
    if (const int error = injectedFault(AtomicOutputFile::Step::Link))
        return error;
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
    return ::linkat(AT_FDCWD, proc.constData(), AT_FDCWD, to.constData(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

} // namespace

AtomicOutputFile::~AtomicOutputFile()
{
    discard();
}

QString AtomicOutputFile::temporaryPath(const QString &finalPath)
{
    return QFile::decodeName(temporaryName(QFile::encodeName(finalPath)));
}

void AtomicOutputFile::closeAll(bool closed)
{
    const std::lock_guard lock(s_liveLock);
    s_closed = closed;
    if (!closed)
        return;
    for (const QByteArray &name : std::as_const(s_liveNamed))
        ::unlink(name.constData());
    s_liveNamed.clear();
}

void AtomicOutputFile::setUnnamedFilesAllowed(bool allowed)
{
    s_unnamedAllowed = allowed;
}

void AtomicOutputFile::setFault(std::function<int(Step, std::size_t)> fault)
{
    auto kept = fault ? std::make_shared<const Fault>(std::move(fault)) : nullptr;
    const std::lock_guard lock(s_faultLock);
    s_fault = std::move(kept);
}

bool AtomicOutputFile::create(const QString &finalPath)
{
    discard();
    m_finalName = QFile::encodeName(finalPath);
    m_tempName = temporaryName(m_finalName);
    if (m_finalName.isEmpty()) {
        fail(ENOENT);
        return false;
    }
    // An unnamed file is linked through /proc; without it, named files serve.
    static const bool canLink = ::access("/proc/self/fd", F_OK) == 0;
    const QByteArray folder = folderOf(m_finalName);
    if (s_unnamedAllowed && canLink && !linksRefusedIn(folder)) {
        // Readable too, should its bytes have to move to a named file.
        const int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_fd = fd;
            m_written = 0;
            m_unnamed = true;
            m_error.clear();
            return true;
        }
        if (!unnamedUnsupported(errno)) {
            fail(errno);
            return false;
        }
    }
    return createNamed();
}

bool AtomicOutputFile::createNamed()
{
    // One fixed name per output: whatever an interrupted run left there goes.
    if (::unlink(m_tempName.constData()) != 0 && errno != ENOENT) {
        fail(errno);
        return false;
    }
    int fd = -1;
    int error = ECANCELED;
    {
        const std::lock_guard live(s_liveLock);
        if (!s_closed) {
            fd = ::open(m_tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
            error = errno;
        }
        if (fd >= 0)
            s_liveNamed.insert(m_tempName);
    }
    if (fd < 0) {
        fail(error);
        return false;
    }
    m_fd = fd;
    m_written = 0;
    m_unnamed = false;
    m_error.clear();
    return true;
}

bool AtomicOutputFile::write(const void *data, std::size_t count)
{
    if (m_fd < 0)
        return false;
    if (const int error = injectedFault(Step::Write, count)) {
        fail(error);
        return false;
    }
    const auto *in = static_cast<const char *>(data);
    while (count > 0) {
        const ssize_t n = ::write(m_fd, in, count);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
            return false;
        }
        in += n;
        count -= static_cast<std::size_t>(n);
        m_written += static_cast<std::size_t>(n);
    }
    return true;
}

// Links the unnamed file under its final name, or, when an older output holds
// that name, under the temporary name beside it for a rename over it.
int AtomicOutputFile::linkUnnamed(bool *replacing)
{
    if (::access(m_finalName.constData(), F_OK) != 0) {
        const int error = linkDescriptor(m_fd, m_finalName);
        if (error != EEXIST)
            return error;
    }
    *replacing = true;
    // A link an interrupted run left under the temporary name goes first.
    int error = linkDescriptor(m_fd, m_tempName);
    if (error == EEXIST)
        error = ::unlink(m_tempName.constData()) == 0 ? linkDescriptor(m_fd, m_tempName) : errno;
    return error;
}

// The unnamed file's bytes, copied to a named temporary file that takes its place.
bool AtomicOutputFile::moveToNamed()
{
    const int unnamed = m_fd;
    const std::size_t unnamedBytes = m_written;
    m_fd = -1;
    m_unnamed = false;
    bool moved = createNamed();
    std::vector<char> buffer(std::size_t{1} << 16);
    for (off_t at = 0; moved;) {
        const ssize_t n = ::pread(unnamed, buffer.data(), buffer.size(), at);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fail(errno);
            moved = false;
        } else {
            moved = write(buffer.data(), static_cast<std::size_t>(n));
            at += n;
        }
    }
    ::close(unnamed);
    injectedFault(Step::Drop, unnamedBytes);
    return moved;
}

int AtomicOutputFile::closeFile()
{
    const int closed = ::close(m_fd);
    m_fd = -1;
    const int error = closed != 0 ? errno : 0;
    return error != 0 ? error : injectedFault(Step::Close);
}

bool AtomicOutputFile::commitNamed()
{
    // Another run writing the same output takes the same fixed name: should it
    // have taken it over meanwhile, its unfinished bytes must not be put in place.
    struct stat mine {}, named {};
    int error = 0;
    if (::fstat(m_fd, &mine) != 0 || ::stat(m_tempName.constData(), &named) != 0)
        error = errno;
    else if (mine.st_dev != named.st_dev || mine.st_ino != named.st_ino)
        error = EBUSY;
    const bool ours = error == 0;
    const int closed = closeFile();
    if (error == 0)
        error = closed;
    if (error == 0 && ::rename(m_tempName.constData(), m_finalName.constData()) != 0)
        error = errno;
    forgetNamed(m_tempName);
    if (error != 0) {
        if (ours)
            ::unlink(m_tempName.constData());
        fail(error);
        return false;
    }
    return true;
}

bool AtomicOutputFile::commit()
{
    if (m_fd < 0)
        return false;
    if (!m_unnamed)
        return commitNamed();
    bool replacing = false;
    int error = linkUnnamed(&replacing);
    if (error != 0 && linkRefused(error)) {
        // Some file systems (FUSE and network mounts among them) take unnamed
        // files but will not link them: their folder uses named files from
        // now on, and the file in hand goes through one.
        {
            const std::lock_guard lock(s_noLinkLock);
            s_noLinkFolders.insert(folderOf(m_finalName));
        }
        return moveToNamed() && commitNamed();
    }
    if (error == 0 && replacing && ::rename(m_tempName.constData(), m_finalName.constData()) != 0)
        error = errno;
    if (error != 0) {
        if (replacing)
            ::unlink(m_tempName.constData());
        fail(error);
        return false;
    }
    // In place now: a failed close must not take it away again, or the user
    // would have neither the older output nor the new one.
    error = closeFile();
    if (error != 0) {
        fail(error);
        return false;
    }
    return true;
}

void AtomicOutputFile::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        if (!m_unnamed) {
            ::unlink(m_tempName.constData());
            forgetNamed(m_tempName);
        }
        injectedFault(Step::Drop, m_written);
    }
    m_fd = -1;
    m_unnamed = false;
}

void AtomicOutputFile::fail(int error)
{
    m_error = systemError(error);
    discard();
}

bool MakeFolder(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), 0777) == 0)
        return true;
    if (error)
        *error = systemError(name.isEmpty() ? ENOENT : errno);
    return false;
}

void IgnoreFileSizeSignal()
{
    std::signal(SIGXFSZ, SIG_IGN);
}
