// Load: many files, many folders, and the largest image the format allows.
// These write gigabytes; they use /dev/shm when it has room, so that the disk's
// write-back does not decide how long they take.

#include "batch/batchrun.h"
#include "bitmap/splitter.h"
#include "support/bitmaps.h"
#include "support/scriptedplatform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>

#include <random>
#include <sys/resource.h>

namespace {

class CountingWindow : public BatchWindow
{
public:
    void setCaption(const QString &) override {}
    void setThisFolderProgress(int) override {}
    void setAllFilesProgress(int value) override { allFilesSeen.append(value); }
    void setStatusText(const QString &) override { ++statusChanges; }
    QString redDirName() const override { return QStringLiteral("Red"); }
    QString greenDirName() const override { return QStringLiteral("Green"); }
    QString blueDirName() const override { return QStringLiteral("Blue"); }
    QStringList folders() const override { return list; }

    QStringList list;
    int statusChanges = 0;
    QList<int> allFilesSeen;
};

// AddressSanitizer keeps freed memory in quarantine, so the resident size of
// a sanitized build says nothing about ours.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasuresMemory = false;
#else
constexpr bool kMeasuresMemory = true;
#endif

long peakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A scratch folder on tmpfs when it has `bytes` free, else in the temp folder.
std::unique_ptr<QTemporaryDir> scratch(qint64 bytes)
{
    const QString shm = QStringLiteral("/dev/shm");
    if (QStorageInfo(shm).isValid() && QStorageInfo(shm).bytesAvailable() > bytes)
        return std::make_unique<QTemporaryDir>(shm + QStringLiteral("/prismora-load-XXXXXX"));
    auto dir = std::make_unique<QTemporaryDir>();
    if (QStorageInfo(dir->path()).bytesAvailable() <= bytes)
        return nullptr;
    return dir;
}

qint64 entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden).size();
}

TEST(Load, TwentyThousandSmallBitmapsInOneFolder)
{
    auto dir = scratch(qint64{200} << 20);
    ASSERT_TRUE(dir && dir->isValid());
    const QByteArray bytes = MakeBitmap({2, 2});
    for (int i = 0; i < 20000; ++i)
        ASSERT_TRUE(WriteFile(dir->filePath(QStringLiteral("img%1.bmp").arg(i, 5, 10, QLatin1Char('0'))), bytes));
    CountingWindow window;
    window.list = {dir->path()};
    ScriptedPlatform platform;
    const long before = peakKiB();
    // Many threads, and files in flight within what the process may open.
    rlimit open{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &open), 0);
    rlimit few = open;
    few.rlim_cur = std::min<rlim_t>(open.rlim_cur, 128);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
    BatchRun run(window, platform);
    run.setThreads(64);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(run.run(), BatchOutcome::Completed);
    setrlimit(RLIMIT_NOFILE, &open);
    ::testing::Test::RecordProperty("milliseconds", static_cast<int>(timer.elapsed()));
    if (kMeasuresMemory) {
        EXPECT_LT(peakKiB() - before, 64 * 1024);
    }
    EXPECT_EQ(window.statusChanges, 20001);
    EXPECT_TRUE(platform.messages.isEmpty());
    for (const char *name : {"Red", "Green", "Blue"})
        EXPECT_EQ(entries(dir->filePath(QLatin1String(name))), 20000) << name;
    EXPECT_EQ(ReadFile(dir->filePath(QStringLiteral("Blue/B_img19999.bmp"))), ReferenceChannelFiles(bytes).at('B'));
}

TEST(Load, TwoHundredListedFolders)
{
    QTemporaryDir dir;
    CountingWindow window;
    for (int i = 0; i < 200; ++i) {
        const QString folder = dir.filePath(QStringLiteral("f%1").arg(i));
        ASSERT_TRUE(QDir().mkpath(folder));
        ASSERT_TRUE(WriteFile(folder + QStringLiteral("/a.bmp"), MakeBitmap({3, 3})));
        ASSERT_TRUE(WriteFile(folder + QStringLiteral("/b.bmp"), MakeBitmap({5, 1})));
        window.list.append(folder);
    }
    ScriptedPlatform platform;
    EXPECT_EQ(BatchRun(window, platform).run(), BatchOutcome::Completed);
    ASSERT_EQ(window.allFilesSeen.size(), 401); // one per file, and the reset at the end
    EXPECT_TRUE(std::is_sorted(window.allFilesSeen.begin(), window.allFilesSeen.end() - 1));
    EXPECT_EQ(window.allFilesSeen[399], 100);
    for (int i = 0; i < 200; i += 37)
        EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("f%1/Green/G_b.bmp").arg(i))));
}

// The largest pixel array a header can state: 2 GiB - 1 byte, as rows plus a
// few surplus bytes. Checked by sampling; memory must not follow its size.
TEST(Load, LargestImageSplitsWithinTheMemoryBound)
{
    constexpr std::int32_t width = 8191;  // rows of 24,576 bytes
    constexpr std::int32_t height = 87381; // 2,147,475,456 bytes of rows
    constexpr std::int64_t rowBytes = 3 * width + width % 4;
    constexpr std::int64_t rows = rowBytes * height;
    constexpr std::int64_t stated = 0x7fffffff;
    auto dir = scratch(qint64{9} << 30);
    if (!dir)
        GTEST_SKIP() << "needs 9 GiB of scratch space";
    ASSERT_TRUE(dir->isValid());
    for (const char *name : {"Red", "Green", "Blue"})
        ASSERT_TRUE(QDir(dir->path()).mkdir(QLatin1String(name)));

    const QString source = dir->filePath(QStringLiteral("huge.bmp"));
    {
        QFile file(source);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        QByteArray header = MakeBitmap({}).left(54);
        PutI32(header, 2, 0x7fffffff); // as large files say, wrongly
        PutI32(header, 18, width);
        PutI32(header, 22, height);
        PutI32(header, 34, static_cast<std::int32_t>(stated));
        ASSERT_EQ(file.write(header), 54);
        QByteArray chunk(static_cast<qsizetype>(rowBytes * 256), '\0');
        std::uint32_t state = 12345;
        for (qsizetype i = 0; i < chunk.size(); ++i) {
            state = state * 1103515245u + 12345u;
            chunk[i] = static_cast<char>(state >> 16);
        }
        for (std::int64_t written = 0; written < stated;) {
            const qint64 count = std::min<qint64>(chunk.size(), stated - written);
            // Vary each chunk so a misplaced band shows.
            chunk[0] = static_cast<char>(written / chunk.size());
            ASSERT_EQ(file.write(chunk.constData(), count), count);
            written += count;
        }
    }

    const long before = peakKiB();
    ASSERT_EQ(SplitBitmap(source, QStringLiteral("Red"), QStringLiteral("Green"), QStringLiteral("Blue")),
              QStringLiteral("OK"));
    if (kMeasuresMemory) {
        EXPECT_LT(peakKiB() - before, 64 * 1024);
    }

    QFile in(source);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const std::pair<const char *, int> outputs[] = {{"Red/R_huge.bmp", 2}, {"Green/G_huge.bmp", 1}, {"Blue/B_huge.bmp", 0}};
    std::mt19937_64 random(7);
    for (const auto &[name, channel] : outputs) {
        SCOPED_TRACE(name);
        QFile out(dir->filePath(QLatin1String(name)));
        ASSERT_TRUE(out.open(QIODevice::ReadOnly));
        ASSERT_EQ(out.size(), 54 + stated);
        const QByteArray header = out.read(54);
        EXPECT_EQ(ReadI32(header, 34), stated);
        EXPECT_EQ(ReadI32(header, 22), height);
        for (int sample = 0; sample < 2000; ++sample) {
            const std::int64_t row = static_cast<std::int64_t>(random() % height);
            const std::int64_t x = static_cast<std::int64_t>(random() % width);
            const std::int64_t at = row * rowBytes + 3 * x;
            ASSERT_TRUE(in.seek(54 + at + channel));
            const QByteArray expected = in.read(1);
            ASSERT_TRUE(out.seek(54 + at));
            ASSERT_EQ(out.read(3), expected + expected + expected) << "row " << row << " x " << x;
        }
        // The row padding and the surplus after the last row are zero.
        ASSERT_TRUE(out.seek(54 + rowBytes - 1));
        EXPECT_EQ(out.read(1), QByteArray(1, '\0'));
        ASSERT_TRUE(out.seek(54 + rows));
        EXPECT_EQ(out.readAll(), QByteArray(static_cast<qsizetype>(stated - rows), '\0'));
        out.close();
        QFile::remove(out.fileName()); // room for the next check
    }
}

} // namespace
