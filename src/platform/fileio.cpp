#include "platform/fileio.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <random>
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

AtomicOutputFile::~AtomicOutputFile()
{
    discard();
}

bool AtomicOutputFile::create(const QString &finalPath)
{
    discard();
    m_finalPath = finalPath;
    const QByteArray final = QFile::encodeName(finalPath);
    const qsizetype slash = final.lastIndexOf('/');
    const QByteArray folder = final.left(slash + 1);
    const QByteArray base = final.mid(slash + 1);

    static std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Hidden, and never ending in ".bmp", so no search ever takes it for a source.
        const QByteArray temp = folder + '.' + base.left(200) + ".part-"
                                + QByteArray::number(static_cast<qulonglong>(random()), 36);
        const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0) {
            m_fd = fd;
            m_tempName = temp;
            m_error.clear();
            return true;
        }
        if (errno != EEXIST) {
            m_error = systemError(errno);
            return false;
        }
    }
    m_error = systemError(EEXIST);
    return false;
}

bool AtomicOutputFile::write(const void *data, std::size_t count)
{
    if (m_fd < 0)
        return false;
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
    }
    return true;
}

bool AtomicOutputFile::commit()
{
    if (m_fd < 0)
        return false;
    const int closed = ::close(m_fd);
    m_fd = -1;
    if (closed != 0) {
        fail(errno);
        return false;
    }
    if (::rename(m_tempName.constData(), QFile::encodeName(m_finalPath).constData()) != 0) {
        fail(errno);
        return false;
    }
    m_tempName.clear();
    return true;
}

void AtomicOutputFile::discard()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_tempName.isEmpty())
        ::unlink(m_tempName.constData());
    m_tempName.clear();
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
