#include "support/childprocess.h"

#include "support/faults.h"

#include <QDirIterator>
#include <QFile>
#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <cstdio>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool writeText(const char *path, const QByteArray &text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.constData(), static_cast<size_t>(text.size())) == text.size();
    ::close(fd);
    return ok;
}

// A mount namespace of our own: as root directly, otherwise inside a user
// namespace where we are root.
bool enterOwnMountNamespace()
{
    if (::geteuid() == 0)
        return ::unshare(CLONE_NEWNS) == 0;
    const QByteArray uid = QByteArray::number(::geteuid());
    const QByteArray gid = QByteArray::number(::getegid());
    return ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && writeText("/proc/self/setgroups", "deny")
           && writeText("/proc/self/uid_map", "0 " + uid + " 1") && writeText("/proc/self/gid_map", "0 " + gid + " 1");
}

int waitFor(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

constexpr int kNoNamespace = 77;
constexpr long long kPage = 4096; // what tmpfs gives a file at a time

// A budget kept to the byte: the bytes under `folder` when the first output
// is written, then every write draws on it and every dropped output gives its
// bytes back.
void runOnBudget(const QString &folder, long long bytes, const std::function<void()> &body)
{
    std::mutex lock; // the threads of a split write at once
    long long used = -1;
    SetFault([&](FaultStep step, std::size_t count) {
        const std::lock_guard guard(lock);
        if (used < 0) {
            used = 0;
            for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
                used += it.nextFileInfo().size();
        }
        const auto n = static_cast<long long>(count);
        if (step == FaultStep::Drop)
            used -= n;
        if (step != FaultStep::Write)
            return 0;
        if (used + n > bytes)
            return ENOSPC;
        used += n;
        return 0;
    });
    body();
    SetFault({});
}

} // namespace

void RunOnSmallDisk(const QString &folder, const std::function<long long(long long unit)> &room,
                    const std::function<void()> &body)
{
    if (qEnvironmentVariableIsSet("PRISMORA_TEST_SIMULATED_DISK")) {
        runOnBudget(folder, room(1), body);
        return;
    }
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const QByteArray options = "size=" + QByteArray::number(room(kPage));
        if (!enterOwnMountNamespace() || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, options.constData()) != 0)
            ::_exit(kNoNamespace);
        body();
        std::fflush(stdout);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    const int status = pid < 0 ? 0 : waitFor(pid);
    if (pid < 0 || (WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespace)) {
        runOnBudget(folder, room(1), body);
        return;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child on the small disk failed";
}

bool KillWhenReady(const std::function<void(const std::function<void()> &ready)> &body)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        body([fd = fds[1]] {
            const char byte = 1;
            if (::write(fd, &byte, 1) == 1)
                for (;;)
                    ::pause(); // until killed
        });
        ::_exit(0);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return false;
    }
    char byte = 0;
    const bool ready = ::read(fds[0], &byte, 1) == 1;
    ::close(fds[0]);
    if (ready)
        ::kill(pid, SIGKILL);
    waitFor(pid);
    return ready;
}
