#include "platform/fileio.h"
#include "platform/instancelock.h"
#include "platform/settings.h"
#include "support/bitmaps.h"

#include <QDir>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
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

TEST(AtomicOutputFile, DiscardLeavesTheOlderFileAndNoTemporary)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("out.bmp"));
    ASSERT_TRUE(WriteFile(target, "old"));
    // A part file an interrupted run left beside the output is replaced too,
    // with unnamed files and without.
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed" : "named");
        AtomicOutputFile::setUnnamedFilesAllowed(unnamed);
        ASSERT_TRUE(WriteFile(AtomicOutputFile::temporaryPath(target), "left by a crash"));
        AtomicOutputFile file;
        ASSERT_TRUE(file.create(target));
        ASSERT_EQ(file.writeAt("new", 3, 0), 0);
        ASSERT_TRUE(file.commit());
        EXPECT_EQ(ReadFile(target), QByteArray("new"));
        EXPECT_EQ(QFileInfo(target).permissions() & QFileDevice::ReadOther, QFileDevice::ReadOther);
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  QStringList{QStringLiteral("out.bmp")});
    }
    // Two runs writing the same output through its one temporary name: the
    // first to finish finds its file taken over, and puts nothing in place.
    AtomicOutputFile first, second;
    ASSERT_TRUE(first.create(target));
    ASSERT_EQ(first.writeAt("first", 5, 0), 0);
    ASSERT_TRUE(second.create(target));
    ASSERT_EQ(second.writeAt("sec", 3, 0), 0);
    EXPECT_FALSE(first.commit());
    EXPECT_EQ(ReadFile(target), QByteArray("new"));
    ASSERT_EQ(second.writeAt("ond", 3, 3), 0);
    EXPECT_TRUE(second.commit());
    EXPECT_EQ(ReadFile(target), QByteArray("second"));
    AtomicOutputFile::setUnnamedFilesAllowed(true);
}

} // namespace
