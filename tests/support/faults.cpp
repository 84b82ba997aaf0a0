#include "support/faults.h"

#include <QByteArray>
#include <QHash>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
int __real_open(const char *path, int flags, ...);
ssize_t __real_pwrite(int fd, const void *data, size_t count, off_t offset);
int __real_ftruncate(int fd, off_t size);
int __real_linkat(int fromDir, const char *from, int toDir, const char *to, int flags);
int __real_rename(const char *from, const char *to);
int __real_unlink(const char *path);
int __real_close(int fd);
int __real_mkdir(const char *path, mode_t mode);
}

namespace {

using Fault = std::function<int(FaultStep, std::size_t)>;

std::mutex s_lock; // guards what follows
std::shared_ptr<const Fault> s_fault;
struct Output
{
    bool unnamed = false;
    long long written = 0; // bytes handed to it
    long long end = 0;     // of the furthest write
};
QHash<int, Output> s_outputs; // by descriptor
std::atomic<bool> s_unnamedAllowed = true;
std::atomic<bool> s_foldersMadeMeanwhile = false;

int fault(FaultStep step, std::size_t count = 0)
{
    std::shared_ptr<const Fault> kept;
    {
        const std::lock_guard lock(s_lock);
        kept = s_fault;
    }
    return kept ? (*kept)(step, count) : 0;
}

bool isOutput(int fd)
{
    const std::lock_guard lock(s_lock);
    return s_outputs.contains(fd);
}

// How far the furthest write to `fd` reached.
long long endOf(int fd)
{
    const std::lock_guard lock(s_lock);
    return s_outputs.value(fd).end;
}

void written(int fd, long long bytes, long long end)
{
    const std::lock_guard lock(s_lock);
    const auto found = s_outputs.find(fd);
    if (found == s_outputs.end())
        return;
    found->written += bytes;
    found->end = std::max(found->end, end);
}

bool isTemporaryName(const char *path)
{
    return QByteArray(path).endsWith(".prismora-part");
}

int failWith(int error)
{
    errno = error;
    return -1;
}

} // namespace

void SetFault(std::function<int(FaultStep, std::size_t)> fault)
{
    auto kept = fault ? std::make_shared<const Fault>(std::move(fault)) : nullptr;
    const std::lock_guard lock(s_lock);
    s_fault = std::move(kept);
}

void SetUnnamedFilesAllowed(bool allowed)
{
    s_unnamedAllowed = allowed;
}

void SetFoldersMadeMeanwhile(bool made)
{
    s_foldersMadeMeanwhile = made;
}

extern "C" {

int __wrap_open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
    if ((flags & O_CREAT) != 0 || unnamed) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    const bool output = unnamed || ((flags & O_CREAT) != 0 && isTemporaryName(path));
    if (!output)
        return __real_open(path, flags, mode);
    if (unnamed && !s_unnamedAllowed)
        return failWith(EOPNOTSUPP);
    if (const int error = fault(FaultStep::Open))
        return failWith(error);
    const int fd = __real_open(path, flags, mode);
    if (fd >= 0) {
        const std::lock_guard lock(s_lock);
        s_outputs.insert(fd, Output{unnamed, 0, 0});
    }
    return fd;
}

ssize_t __wrap_pwrite(int fd, const void *data, size_t count, off_t offset)
{
    if (!isOutput(fd))
        return __real_pwrite(fd, data, count, offset);
    if (const int error = fault(FaultStep::Write, count))
        return failWith(error);
    const ssize_t done = __real_pwrite(fd, data, count, offset);
    if (done > 0)
        written(fd, done, static_cast<long long>(offset) + done);
    return done;
}

int __wrap_ftruncate(int fd, off_t size)
{
    if (!isOutput(fd))
        return __real_ftruncate(fd, size);
    const long long added = std::max<long long>(size - endOf(fd), 0);
    if (const int error = fault(FaultStep::Write, static_cast<std::size_t>(added)))
        return failWith(error);
    const int done = __real_ftruncate(fd, size);
    if (done == 0)
        written(fd, added, size);
    return done;
}

int __wrap_linkat(int fromDir, const char *from, int toDir, const char *to, int flags)
{
    if (const int error = fault(FaultStep::Link))
        return failWith(error);
    const int done = __real_linkat(fromDir, from, toDir, to, flags);
    if (done == 0) { // a file with a name is counted where it stands
        const QByteArray proc("/proc/self/fd/");
        const int linked = (flags & AT_EMPTY_PATH) != 0          ? fromDir
                           : QByteArray(from).startsWith(proc) ? QByteArray(from).mid(proc.size()).toInt()
                                                               : -1;
        const std::lock_guard lock(s_lock);
        const auto found = s_outputs.find(linked);
        if (found != s_outputs.end())
            found->unnamed = false;
    }
    return done;
}

int __wrap_mkdir(const char *path, mode_t mode)
{
    if (s_foldersMadeMeanwhile)
        __real_mkdir(path, mode); // the other run's
    return __real_mkdir(path, mode);
}

int __wrap_rename(const char *from, const char *to)
{
    if (const int error = fault(FaultStep::Rename))
        return failWith(error);
    return __real_rename(from, to);
}

int __wrap_unlink(const char *path)
{
    if (!isTemporaryName(path))
        return __real_unlink(path);
    if (const int error = fault(FaultStep::Unlink))
        return failWith(error);
    struct stat st {};
    const bool sized = ::stat(path, &st) == 0 && st.st_nlink == 1;
    const int done = __real_unlink(path);
    if (done == 0 && sized)
        fault(FaultStep::Drop, static_cast<std::size_t>(st.st_size));
    return done;
}

int __wrap_close(int fd)
{
    Output closed;
    bool output = false;
    {
        const std::lock_guard lock(s_lock);
        const auto found = s_outputs.find(fd);
        output = found != s_outputs.end();
        if (output) {
            closed = *found;
            s_outputs.erase(found);
        }
    }
    const int done = __real_close(fd);
    if (!output)
        return done;
    if (closed.unnamed) // never linked: its bytes go with it
        fault(FaultStep::Drop, static_cast<std::size_t>(closed.written));
    const int error = fault(FaultStep::Close);
    return done != 0 || error == 0 ? done : failWith(error);
}

} // extern "C"
