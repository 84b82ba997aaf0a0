#include "platform/fileio.h"
#include "platform/instancelock.h"
#include "platform/settings.h"
#include "platform/workers.h"
#include "support/bitmaps.h"
#include "support/faults.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(InstanceLock, OnlyALockHeldByALiveProcessCountsAsAnotherInstance)
{
    const QString lockPath = InstanceLock::lockPath();
    {
        InstanceLock first;
        InstanceLock second;
        EXPECT_FALSE(first.anotherInstanceRuns());
        EXPECT_FALSE(first.anotherInstanceRuns()); // asking again is not another instance
        EXPECT_TRUE(second.anotherInstanceRuns());
    }
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const QByteArray host = QSysInfo::machineHostName().toUtf8();
    struct Case
    {
        const char *name;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"dead_owner", [&] { ASSERT_TRUE(WriteFile(lockPath, QByteArray::number(dead) + "\nprismora\n" + host + '\n')); }},
        {"broken_file", [&] { ASSERT_TRUE(WriteFile(lockPath, "\xff\xfe garbage")); }},
        {"empty_file", [&] { ASSERT_TRUE(WriteFile(lockPath, "")); }},
        {"folder_in_its_place", [&] { ASSERT_TRUE(QDir().mkpath(lockPath)); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        InstanceLock lock;
        EXPECT_FALSE(lock.anotherInstanceRuns());
        QDir(lockPath).removeRecursively();
        QFile::remove(lockPath);
    }
}

// Qt leaves a runtime folder that is not 0700 for one of its own in the
// temporary folder; only when that cannot be made either does the lock land
// in a folder we may not write.
TEST(InstanceLock, AFolderWeMayNotWriteStartsWithoutTheLock)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders, so the lock is taken as usual";
    QTemporaryDir readOnly;
    ASSERT_TRUE(QFile::setPermissions(readOnly.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR"), temp = qgetenv("TMPDIR");
    qputenv("XDG_RUNTIME_DIR", readOnly.path().toLocal8Bit());
    qputenv("TMPDIR", readOnly.path().toLocal8Bit());
    EXPECT_EQ(InstanceLock::lockPath(), readOnly.filePath(QStringLiteral("prismora.lock")));
    EXPECT_FALSE(InstanceLock().anotherInstanceRuns());
    qputenv("XDG_RUNTIME_DIR", runtime);
    temp.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", temp);
    QFile::setPermissions(readOnly.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TEST(Settings, MissingKeysGiveTheDefaultAndValuesComeBackAsWritten)
{
    EXPECT_EQ(GetSetting(QStringLiteral("Main"), QStringLiteral("NoSuchKey"), QStringLiteral("dflt")),
              QStringLiteral("dflt"));
    for (const QString &value : {QString(), QStringLiteral("  spaced  "), QStringLiteral("Ünï/图")}) {
        SaveSetting(QStringLiteral("Main"), QStringLiteral("RedDir"), value);
        EXPECT_EQ(GetSetting(QStringLiteral("Main"), QStringLiteral("RedDir"), QStringLiteral("Red")), value);
    }
    const QString file = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + QStringLiteral("/Prismora/Prismora.conf");
    EXPECT_TRUE(ReadFile(file).contains("[Main]"));
}

TEST(AtomicOutputFile, ReplacesTheOlderFileAndLeavesNoTemporary)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("out.bmp"));
    ASSERT_TRUE(WriteFile(target, "old"));
    // Temporary files of a build before names were unique, of a process that
    // no longer runs, and of an earlier process of this one's number (as in a
    // container started afresh) are removed; those of live processes stay,
    // this one's among them.
    const pid_t other = ::fork(); // a live process that is not this one, whatever number this one has
    if (other == 0) {
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(other, 0);
    const struct Reaped
    {
        pid_t pid;
        ~Reaped()
        {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } reaped{other};
    const QStringList live{QStringLiteral(".out.bmp.%1-0.prismora-part").arg(other)};
    const QString pid = QString::number(::getpid());
    for (const QString &name : live + QStringList{QStringLiteral(".out.bmp.prismora-part"),
                                                  QStringLiteral(".out.bmp.4194305-2.prismora-part"),
                                                  QStringLiteral(".out.bmp.%1-7.prismora-part").arg(pid),
                                                  QStringLiteral(".out.bmp.%1-00000000000000007.prismora-part").arg(pid)})
        ASSERT_TRUE(WriteFile(dir.filePath(name), "left by a crash"));
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral(".notes")), "not ours"));
    const auto entries = [&] { return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name); };
    // How many files of names matching `pattern` a live run holds, as the clean-up asks.
    const auto held = [&](const QString &pattern) {
        int count = 0;
        for (const QString &name : QDir(dir.path()).entryList({pattern}, QDir::Files | QDir::Hidden)) {
            const int fd = ::open(qPrintable(dir.filePath(name)), O_RDONLY | O_CLOEXEC);
            count += fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            ::close(fd);
        }
        return count;
    };
    {
        SetUnnamedFilesAllowed(false);
        OutputSession session;
        AtomicOutputFile writing(session);
        ASSERT_TRUE(writing.create(dir.filePath(QStringLiteral("other.bmp"))));
        EXPECT_EQ(held(QStringLiteral(".other.bmp.*")), 1); // as this run holds its own
        // Files a live run still writes, as it holds them, are kept whatever
        // their numbers say: a run of this one's number in another container,
        // or of a number this namespace does not know.
        std::vector<int> holding;
        for (const QString &name : {QStringLiteral(".out.bmp.%1-00000000000000009.prismora-part").arg(pid),
                                    QStringLiteral(".out.bmp.4194306-3.prismora-part")}) {
            ASSERT_TRUE(WriteFile(dir.filePath(name), "being written"));
            holding.push_back(::open(qPrintable(dir.filePath(name)), O_RDONLY | O_CLOEXEC));
            ASSERT_EQ(::flock(holding.back(), LOCK_SH), 0);
        }
        const QStringList before = entries();
        RemoveStaleTemporaries(dir.path());
        EXPECT_EQ(before.size() - entries().size(), 4);
        for (const int fd : holding)
            ::close(fd);
        RemoveStaleTemporaries(dir.path());
        EXPECT_EQ(before.size() - entries().size(), 6); // once let go
        EXPECT_TRUE(writing.commit()); // its own temporary file stayed
        EXPECT_TRUE(QFileInfo::exists(dir.filePath(QStringLiteral("other.bmp"))));
        ASSERT_TRUE(QFile::remove(dir.filePath(QStringLiteral("other.bmp"))));
    }
    const QStringList kept = QStringList{QStringLiteral(".notes")} + live + QStringList{QStringLiteral("out.bmp")};
    EXPECT_EQ(entries(), kept);
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed" : "named");
        SetUnnamedFilesAllowed(unnamed);
        OutputSession session, another;
        AtomicOutputFile file(session);
        ASSERT_TRUE(file.create(target));
        ASSERT_EQ(file.writeAt("new", 3, 0), 0);
        int heldAtRename = -1; // the hidden name renamed over the older file is held until then
        SetFault([&](FaultStep step, std::size_t) {
            if (step == FaultStep::Rename)
                heldAtRename = held(QStringLiteral(".out.bmp.%1-*").arg(pid));
            return 0;
        });
        ASSERT_TRUE(file.commit());
        SetFault({});
        EXPECT_EQ(heldAtRename, 1);
        EXPECT_EQ(ReadFile(target), QByteArray("new"));
        EXPECT_EQ(QFileInfo(target).permissions() & QFileDevice::ReadOther, QFileDevice::ReadOther);
        EXPECT_EQ(entries(), kept);
        // Two runs writing the same output at once both put theirs in place.
        AtomicOutputFile first(session), second(another);
        ASSERT_TRUE(first.create(target));
        ASSERT_EQ(first.writeAt("first", 5, 0), 0);
        ASSERT_TRUE(second.create(target));
        ASSERT_EQ(second.writeAt("second", 6, 0), 0);
        EXPECT_TRUE(first.commit());
        EXPECT_EQ(ReadFile(target), QByteArray("first"));
        EXPECT_TRUE(second.commit());
        EXPECT_EQ(ReadFile(target), QByteArray("second"));
        EXPECT_EQ(entries(), kept);
    }
    SetUnnamedFilesAllowed(true);
}

} // namespace

TEST(SpelledPath, SpellsEveryPathAsTheFileSystemDoesAndFindsItsLastSlash)
{
    for (const QString &path : {QString(), QStringLiteral("/"), QStringLiteral("a.bmp"), QStringLiteral("/tmp/x/Red/R_a.bmp"),
                                QStringLiteral("/tmp/Ünïcode/\u00e9t\u00e9.bmp"), QStringLiteral("/tmp/\U0001F308/b.bmp")}) {
        SCOPED_TRACE(path.toStdString());
        const QByteArray spelled = SpelledPath(path);
        EXPECT_EQ(spelled, QFile::encodeName(path));
        EXPECT_EQ(LastSlash(spelled), spelled.lastIndexOf('/'));
    }
}

// Threads beyond the cores are for tasks that wait on a file system: once the
// task on the one core waits, the second thread starts the task it waits for,
// whether the tasks come while the threads start or once both wait for work.
TEST(Workers, AThreadBeyondTheCoresStartsATaskWhileTheOnesAtWorkWait)
{
    for (const bool idleFirst : {false, true}) {
        for (int round = 0; round < 10; ++round) {
            std::mutex lock;
            std::condition_variable changed;
            bool secondRan = false, firstSawIt = false, firstEnded = false;
            {
                Workers workers(2, 1);
                ASSERT_EQ(workers.threads(), 2);
                if (idleFirst) // as between the files of a run
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                workers.post([&] {
                    std::unique_lock guard(lock);
                    firstSawIt = changed.wait_for(guard, std::chrono::seconds(5), [&] { return secondRan; });
                    firstEnded = true;
                    changed.notify_all();
                });
                workers.post([&] {
                    const std::lock_guard guard(lock);
                    secondRan = true;
                    changed.notify_all();
                });
                std::unique_lock guard(lock);
                changed.wait_for(guard, std::chrono::seconds(10), [&] { return firstEnded; });
            }
            ASSERT_TRUE(firstSawIt) << (idleFirst ? "posted to idle threads" : "posted as they start") << ", round " << round;
        }
    }
}
