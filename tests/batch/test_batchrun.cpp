#include "batch/batchrun.h"
#include "batch/watch.h"
#include "platform/fileio.h"
#include "support/bitmaps.h"
#include "support/childprocess.h"
#include "support/faults.h"
#include "support/scriptedplatform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <sched.h>
#include <unistd.h>

namespace {

// Polls `done` until it holds, for `limit` at most (five seconds unless
// said); whether it holds. A short limit waits for what must not happen.
bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    for (int wait = 0; !done() && wait < limit.count(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

RunSettings settingsOf(bool recursive, bool update, const QString &outputRoot = {})
{
    RunSettings settings;
    settings.recursive = recursive;
    settings.update = update;
    settings.outputRoot = outputRoot;
    return settings;
}

// Records what the run shows, in order, as "caption:…", "this:N", "all:N", "status:…".
class RecordingWindow : public BatchWindow
{
public:
    void setCaption(const QString &caption) override { events.append(QStringLiteral("caption:") + caption); }
    void setThisFolderProgress(int value) override { events.append(QStringLiteral("this:%1").arg(value)); }
    void setAllFilesProgress(int value) override { events.append(QStringLiteral("all:%1").arg(value)); }
    void setStatusText(const QString &text) override
    {
        events.append(QStringLiteral("status:") + text);
        if (onStatus)
            onStatus(text);
    }
    QString redDirName() const override { return red; }
    QString greenDirName() const override { return green; }
    QString blueDirName() const override { return blue; }
    QStringList folders() const override { return list; }
    void fileDone(const QString &path, const QString &result) override
    {
        results.append(path + u'\t' + result);
        if (onFileDone)
            onFileDone(path, result);
    }

    QString red = QStringLiteral("Red"), green = QStringLiteral("Green"), blue = QStringLiteral("Blue");
    QStringList list;
    QStringList events;
    QStringList results; // "path\tresult", as files are done with
    std::function<void(const QString &)> onStatus; // before each file is split
    std::function<void(const QString &, const QString &)> onFileDone;
};

const QStringList kEnd = {QStringLiteral("caption:Prismora"), QStringLiteral("this:0"), QStringLiteral("all:0"),
                          QStringLiteral("status:Ready...")};

class BatchRunTest : public ::testing::Test
{
protected:
    // Files are split ahead of their turn on any machine, however many cores it has.
    static constexpr int kThreads = 3;
    BatchRunTest() { m_run.setThreads(kThreads); }

    QString folder(const QString &name)
    {
        const QString path = m_dir.filePath(name);
        EXPECT_TRUE(QDir().mkpath(path));
        return path;
    }
    void bitmap(const QString &folderPath, const QString &name, TestBitmap shape = {})
    {
        ASSERT_TRUE(WriteFile(folderPath + QLatin1Char('/') + name, MakeBitmap(shape)));
    }
    static QStringList step(int thisFolder, int all, const QString &name)
    {
        return {QStringLiteral("this:%1").arg(thisFolder), QStringLiteral("all:%1").arg(all),
                QStringLiteral("status:Splitting... ") + name};
    }

    // The run ended on one "Processing Error" with `text`, and the window is back at rest.
    void expectProcessingError(const QString &text) const
    {
        ASSERT_EQ(m_platform.messages.size(), 1);
        EXPECT_EQ(m_platform.messages[0].title, QStringLiteral("Processing Error"));
        EXPECT_EQ(m_platform.messages[0].text, text);
        EXPECT_EQ(m_window.events.mid(m_window.events.size() - 4), kEnd);
    }

    QTemporaryDir m_dir;
    RecordingWindow m_window;
    ScriptedPlatform m_platform;
    BatchRun m_run{m_window, m_platform};
};

TEST_F(BatchRunTest, EmptyListShowsTheNoFoldersNoticeAndChangesNothing)
{
    EXPECT_EQ(m_run.run(), BatchOutcome::NoFolders);
    ASSERT_EQ(m_platform.messages.size(), 1);
    EXPECT_EQ(m_platform.messages[0].text, QStringLiteral("No folders have been added for processing."));
    EXPECT_EQ(m_platform.messages[0].title, QStringLiteral("No Folders Added"));
    EXPECT_TRUE(m_window.events.isEmpty());
}

TEST_F(BatchRunTest, FoldersWithoutBitmapsShowTheNoFilesNoticeAndCreateNothing)
{
    const QString empty = folder(QStringLiteral("empty"));
    const QString other = folder(QStringLiteral("other"));
    ASSERT_TRUE(WriteFile(other + QStringLiteral("/notes.txt"), "x"));
    m_window.list = {empty, QString(), m_dir.filePath(QStringLiteral("missing")), other};
    EXPECT_EQ(m_run.run(), BatchOutcome::NoFiles);
    ASSERT_EQ(m_platform.messages.size(), 1);
    EXPECT_EQ(m_platform.messages[0].text, QStringLiteral("No bitmap files were found in the selected folders."));
    EXPECT_EQ(m_platform.messages[0].title, QStringLiteral("No Files Found"));
    EXPECT_TRUE(m_window.events.isEmpty());
    EXPECT_EQ(QDir(empty).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    EXPECT_EQ(QDir(other).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{QStringLiteral("notes.txt")});
}

TEST_F(BatchRunTest, ProgressStatusAndCaptionFollowEveryFileInListOrder)
{
    const QString first = folder(QStringLiteral("first"));
    const QString second = folder(QStringLiteral("second"));
    const QString none = folder(QStringLiteral("none"));
    bitmap(second, QStringLiteral("z.bmp"));
    for (const char *name : {"c.bmp", "A.bmp", "b.BMP"})
        bitmap(first, QLatin1String(name));
    TestBitmap eightBit;
    eightBit.bitCount = 8;
    bitmap(second, QStringLiteral("y.bmp"), eightBit); // refused, but counted
    m_window.list = {second, none, first};

    // The bars and the status show each file before it is split, and after the one before it.
    QStringList splitWhenShown;
    m_window.onStatus = [&](const QString &status) {
        for (const char *name : {"b", "c"})
            if (status != QLatin1String("Ready...") && QFile::exists(first + QStringLiteral("/Blue/B_%1.bmp").arg(QLatin1String(name))))
                splitWhenShown.append(status.right(5) + QLatin1String(name));
    };
    // The run is batch work, which preempts no thread of its own, where the
    // system lets a thread choose that; its thread gets its own policy back.
    bool batchAllowed = false;
    std::thread([&batchAllowed] {
        const sched_param priority{};
        batchAllowed = ::sched_setscheduler(0, SCHED_BATCH, &priority) == 0;
    }).join();
    const int before = ::sched_getscheduler(0);
    const int during = batchAllowed && before == SCHED_OTHER ? SCHED_BATCH : before;
    // So does every thread that writes, the pool's too: while the first file
    // of a folder is done, its later ones are split ahead, by the pool.
    std::mutex writersLock;
    std::map<std::thread::id, int> writers;
    const auto aheadOnThePool = [&] {
        const std::lock_guard lock(writersLock);
        return writers.size() > writers.count(std::this_thread::get_id());
    };
    SetFault([&](FaultStep step, std::size_t) {
        if (step == FaultStep::Write) {
            const std::lock_guard lock(writersLock);
            writers.emplace(std::this_thread::get_id(), ::sched_getscheduler(0));
        }
        return 0;
    });
    QList<int> policies;
    bool splitAhead = false;
    m_window.onFileDone = [&](const QString &path, const QString &) {
        policies.append(::sched_getscheduler(0));
        if (path.endsWith(QLatin1String("A.bmp")))
            splitAhead = eventually(aheadOnThePool);
    };
    EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
    SetFault({});
    EXPECT_EQ(policies, QList<int>(5, during));
    EXPECT_EQ(::sched_getscheduler(0), before);
    EXPECT_TRUE(splitAhead);
    for (const auto &[thread, policy] : writers)
        EXPECT_EQ(policy, during);

    QStringList expected{QStringLiteral("caption:Prismora - Processing...")};
    expected += step(0, 20, QStringLiteral("y.bmp"));
    expected += step(50, 40, QStringLiteral("z.bmp"));
    expected += step(0, 60, QStringLiteral("A.bmp"));
    expected += step(33, 80, QStringLiteral("b.BMP"));
    expected += step(66, 100, QStringLiteral("c.bmp"));
    expected += kEnd;
    EXPECT_EQ(m_window.events, expected);
    EXPECT_EQ(splitWhenShown, QStringList{QStringLiteral("c.bmpb")});
    EXPECT_TRUE(m_platform.messages.isEmpty());

    for (const char *out : {"first/Red/R_A.bmp", "first/Green/G_b.bmp", "first/Blue/B_c.bmp", "second/Red/R_z.bmp"})
        EXPECT_TRUE(QFile::exists(m_dir.filePath(QLatin1String(out)))) << out;
    EXPECT_FALSE(QFile::exists(m_dir.filePath(QStringLiteral("second/Red/R_y.bmp"))));
    EXPECT_FALSE(QFile::exists(m_dir.filePath(QStringLiteral("none/Red"))));

    // A second run reuses the folders and does not take the outputs for sources.
    m_window.events.clear();
    EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
    EXPECT_EQ(m_window.events.size(), expected.size());
}

// One folder listed twice, spelt differently: its files share their outputs
// with themselves, and are never split ahead while their twin is being
// written, however long the twin takes to be put in place.
// A folder listed twice is split twice, and under the update rule its second
// turn finds the first one's outputs up to date: the second file, sharing the
// first one's outputs, is never begun while the first is in flight. Were it
// begun ahead, a pool thread would open its files before the first is put in
// place, which waits for that.
TEST_F(BatchRunTest, OneFolderListedTwiceIsSplitTwiceWithoutAClash)
{
    const QString source = folder(QStringLiteral("twice"));
    bitmap(source, QStringLiteral("a.bmp"), TestBitmap{40, 30});
    const QString a = source + QStringLiteral("/a.bmp"), twin = source + QStringLiteral("/./a.bmp");
    m_window.list = {source, source + QStringLiteral("/.")};
    const auto here = std::this_thread::get_id(); // the run's own thread, which splits in turn
    for (const bool update : {false, true}) {
        SCOPED_TRACE(update ? "update" : "split");
        for (const char *name : {"Red", "Green", "Blue"})
            ASSERT_TRUE(QDir(source + QLatin1Char('/') + QLatin1String(name)).removeRecursively());
        std::atomic<bool> first = true, openedAhead = false;
        SetFault([&](FaultStep step, std::size_t) {
            if (step == FaultStep::Open && std::this_thread::get_id() != here)
                openedAhead = true;
            if (step == FaultStep::Link && std::this_thread::get_id() == here && first.exchange(false))
                eventually([&] { return openedAhead.load(); }, std::chrono::milliseconds(300));
            return 0;
        });
        m_window.results.clear();
        m_run.setSettings(settingsOf(false, update));
        EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
        SetFault({});
        EXPECT_FALSE(openedAhead);
        EXPECT_TRUE(m_platform.messages.isEmpty());
        EXPECT_EQ(m_window.results, QStringList({a + QStringLiteral("\tOK"),
                                                 twin + (update ? QStringLiteral("\tup to date") : QStringLiteral("\tOK"))}));
        EXPECT_EQ(ReadFile(source + QStringLiteral("/Green/G_a.bmp")), ReferenceChannelFiles(ReadFile(a)).at('G'));
    }
    m_run.setSettings({});
}

// Two runs started on one new folder at once both make its destination
// folders: the one that finds them made meanwhile uses them.
TEST_F(BatchRunTest, DestinationFoldersAnotherRunMakesMeanwhileServe)
{
    const QString source = folder(QStringLiteral("shared"));
    bitmap(source, QStringLiteral("a.bmp"));
    m_window.list = {source};
    SetFoldersMadeMeanwhile(true);
    EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
    SetFoldersMadeMeanwhile(false);
    EXPECT_TRUE(m_platform.messages.isEmpty());
    EXPECT_EQ(ReadFile(source + QStringLiteral("/Blue/B_a.bmp")),
              ReferenceChannelFiles(ReadFile(source + QStringLiteral("/a.bmp"))).at('B'));
}

// A later file whose disk stalls holds up none before it: a6's writes wait
// until a5 is in place, which it would never be if the thread that places
// files ran queued work of later ones while it waits for a1. Every pool
// thread is busy meanwhile (a2 and a3 wait for a1 to be in place), so that a6
// is still queued when a1's turn comes; a1 waits to be written until a6
// would have begun.
TEST_F(BatchRunTest, ALaterFileStalledOnItsDiskHoldsUpNoneBeforeIt)
{
    const QString source = folder(QStringLiteral("stall"));
    const TestBitmap shapes[] = {{}, {100, 100}, {20, 20}, {40, 40}, {}, {}, {30, 30}};
    for (int i = 0; i < 7; ++i)
        bitmap(source, QStringLiteral("a%1.bmp").arg(i), shapes[i]);
    m_window.list = {source};
    std::mutex lock;
    std::condition_variable placed;
    QStringList done;
    bool a6BeganEarly = false;
    std::atomic<bool> timedOut = false;
    const auto here = std::this_thread::get_id(); // the run's own thread, which splits a0 in its turn
    std::atomic<bool> a1Held = false, a6Begun = false, a0Written = false;
    int stalled = 0; // a6's three writes
    m_window.onFileDone = [&](const QString &path, const QString &) {
        const std::lock_guard guard(lock);
        done.append(QFileInfo(path).fileName());
        placed.notify_all();
    };
    const auto waitFor = [&](std::unique_lock<std::mutex> &guard, const char *name) {
        return placed.wait_for(guard, std::chrono::seconds(10), [&] { return done.contains(QLatin1String(name)); });
    };
    SetFault([&](FaultStep step, std::size_t count) {
        if (step != FaultStep::Write)
            return 0;
        // a1 is being written ahead before a0 is written.
        if (std::this_thread::get_id() == here && !a0Written.exchange(true))
            if (!eventually([&] { return a1Held.load(); }))
                timedOut = true;
        if (count == 54 + 100 * 300 && std::this_thread::get_id() != here && !a1Held.exchange(true)) {
            a6BeganEarly = eventually([&] { return a6Begun.load(); }, std::chrono::milliseconds(300));
        }
        std::unique_lock guard(lock);
        if (count == 54 + 20 * 60 || count == 54 + 40 * 120)
            if (!waitFor(guard, "a1.bmp"))
                timedOut = true;
        if (count == 54 + 30 * 92) {
            a6Begun = true;
            ++stalled;
            if (!waitFor(guard, "a5.bmp"))
                timedOut = true;
        }
        return 0;
    });
    EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
    SetFault({});
    EXPECT_FALSE(a6BeganEarly);
    EXPECT_EQ(stalled, 3);
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(QFile::exists(source + QStringLiteral("/Blue/B_a6.bmp")));
}

// Nor once the disk has filled up: a2, split ahead, finds no room while a3
// is being written on a stalled disk, and a1 is put in place without waiting
// for a3 to stop, which waits for a1. a2 is then written again in its turn,
// but only once a3, dropped, has stopped and its own thread has given its
// room back.
TEST_F(BatchRunTest, ALaterFileStalledAfterTheDiskFilledHoldsUpNoneBeforeIt)
{
    const QString source = folder(QStringLiteral("stallfull"));
    const TestBitmap shapes[] = {{}, {20, 20}, {30, 30}, {40, 40}};
    for (int i = 0; i < 4; ++i)
        bitmap(source, QStringLiteral("a%1.bmp").arg(i), shapes[i]);
    m_window.list = {source};
    std::mutex lock;
    std::condition_variable placed;
    bool a1Placed = false;
    std::atomic<bool> timedOut = false;
    m_window.onFileDone = [&](const QString &path, const QString &) {
        const std::lock_guard guard(lock);
        a1Placed = a1Placed || path.endsWith(QLatin1String("a1.bmp"));
        placed.notify_all();
    };
    const auto here = std::this_thread::get_id(); // the run's own thread, which puts files in place
    std::atomic<bool> a1Begun = false, a2Full = false, a2Dropped = false, a2Again = false, a3Begun = false,
                      late = false, a0Written = false, droppedInTurn = false;
    bool againBeforeA3Stopped = false;
    SetFault([&](FaultStep step, std::size_t count) {
        // a2's files closed, after it told the run of the full disk: no other
        // thread closes one meanwhile.
        if (step == FaultStep::Close && a2Full && std::this_thread::get_id() != here)
            a2Dropped = true;
        // a3's files go as its thread stops, not when the run's thread next looks.
        if (step == FaultStep::Drop && count > 0 && std::this_thread::get_id() == here)
            droppedInTurn = true;
        if (step != FaultStep::Write)
            return 0;
        // a1 is being written ahead before a0 is written.
        if (std::this_thread::get_id() == here && !a0Written.exchange(true))
            if (!eventually([&] { return a1Begun.load(); }))
                late = true;
        if (count == 54 + 20 * 60 && std::this_thread::get_id() != here && !a1Begun.exchange(true))
            if (!eventually([&] { return a2Dropped && a3Begun; })) // once a2 is dropped and a3 is being written
                late = true;
        if (count == 54 + 30 * 92 && !a2Full.exchange(true)) { // a2, split ahead
            if (!eventually([&] { return a3Begun.load(); }))
                late = true;
            return ENOSPC;
        }
        if (count == 54 + 30 * 92)
            a2Again = true;
        if (count == 54 + 40 * 120 && std::this_thread::get_id() != here && !a3Begun.exchange(true)) { // a3, ahead
            std::unique_lock guard(lock);
            if (!placed.wait_for(guard, std::chrono::seconds(10), [&] { return a1Placed; }))
                timedOut = true;
            guard.unlock();
            againBeforeA3Stopped = eventually([&] { return a2Again.load(); }, std::chrono::milliseconds(300));
        }
        return 0;
    });
    EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
    SetFault({});
    EXPECT_FALSE(late); // each file came as arranged
    EXPECT_FALSE(timedOut);
    EXPECT_FALSE(againBeforeA3Stopped);
    EXPECT_FALSE(droppedInTurn);
    EXPECT_TRUE(m_platform.messages.isEmpty());
    for (int i = 0; i < 4; ++i) {
        const QString name = QStringLiteral("a%1.bmp").arg(i);
        EXPECT_EQ(ReadFile(source + QStringLiteral("/Green/G_") + name),
                  ReferenceChannelFiles(ReadFile(source + QLatin1Char('/') + name)).at('G'))
            << qPrintable(name);
    }
}

// Whose a write is, by the rows it carries (the first also carries the header).
bool rowsOf(std::size_t count, std::size_t row)
{
    return count % row == 0 || (count > 54 && (count - 54) % row == 0);
}

// Large images go ahead of their turn, each on a thread of its own, as a copy
// of many files goes fastest, the last one too: c is written while a is. A
// thread that comes free joins the bands of one still being written: b's
// first band waits until another thread writes one of its others.
TEST_F(BatchRunTest, LargeImagesGoAheadAndAThreadThatComesFreeJoinsTheirBands)
{
    const QString source = folder(QStringLiteral("large"));
    const TestBitmap shapes[] = {{1000, 1400}, {1004, 1400}, {1008, 1400}}; // rows of 3000, 3012, 3024 bytes; five bands
    const QString names[] = {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
    for (int i = 0; i < 3; ++i)
        bitmap(source, names[i] + QStringLiteral(".bmp"), shapes[i]);
    m_window.list = {source};
    std::mutex lock;
    std::set<std::thread::id> writingB;
    std::atomic<bool> aBegun = false, bBegun = false, cWritten = false, cWhileA = false, bOnTwo = false;
    SetFault([&](FaultStep step, std::size_t count) {
        if (step != FaultStep::Write)
            return 0;
        if (rowsOf(count, 3024))
            cWritten = true;
        if (rowsOf(count, 3012)) {
            {
                const std::lock_guard guard(lock);
                writingB.insert(std::this_thread::get_id());
            }
            if (!bBegun.exchange(true))
                bOnTwo = eventually([&] {
                    const std::lock_guard guard(lock);
                    return writingB.size() > 1;
                });
        }
        if (rowsOf(count, 3000) && !aBegun.exchange(true))
            cWhileA = eventually([&] { return cWritten.load(); });
        return 0;
    });
    EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
    SetFault({});
    EXPECT_TRUE(cWhileA);
    EXPECT_TRUE(bOnTwo);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ReadFile(source + QStringLiteral("/Green/G_") + names[i] + QStringLiteral(".bmp")),
                  ReferenceChannelFiles(MakeBitmap(shapes[i])).at('G'));
}

// A stop abandons the file in progress, whether it comes between its bands or
// while its last bytes are written: none of its outputs is put in place. A stop
// that comes while they are put in place waits for all three.
TEST_F(BatchRunTest, AStopAbandonsTheFileInProgressAndKeepsItsOlderOutputs)
{
    using Step = FaultStep;
    for (const bool duringWrite : {false, true}) {
        SCOPED_TRACE(duringWrite ? "during the last write" : "between bands");
        const QString source = folder(duringWrite ? QStringLiteral("write") : QStringLiteral("band"));
        bitmap(source, QStringLiteral("a.bmp"), {1000, 1400});
        bitmap(source, QStringLiteral("b.bmp"), {1004, 1400}); // five bands of rows of 3012 bytes, the last of 8 rows
        bitmap(source, QStringLiteral("c.bmp"));
        ASSERT_TRUE(QDir(source).mkdir(QStringLiteral("Green")));
        ASSERT_TRUE(WriteFile(source + QStringLiteral("/Green/G_b.bmp"), "older"));
        m_window.list = {source};
        BatchRun run(m_window, m_platform);
        run.setThreads(kThreads);
        std::atomic<bool> aPlaced = false;
        m_window.onFileDone = [&](const QString &path, const QString &) {
            if (path.endsWith(QLatin1String("a.bmp")))
                aPlaced = true;
        };
        std::atomic<int> writesOfB = 0;
        SetFault([&](Step step, std::size_t count) {
            if (step != Step::Write || !rowsOf(count, 3012))
                return 0;
            // b is written once a is in place. Between bands: the bands begun
            // by then (one per thread at most) are written on, and the stop is
            // heard before the next.
            eventually([&] { return aPlaced.load(); });
            if (++writesOfB == 1 ? !duringWrite : duringWrite && count == 8 * 3012)
                run.requestStop();
            return 0;
        });
        const int policy = ::sched_getscheduler(0);
        EXPECT_EQ(run.run(), BatchOutcome::Stopped);
        EXPECT_EQ(::sched_getscheduler(0), policy); // a stopped run gives its thread's policy back too
        SetFault({});
        m_window.onFileDone = {};
        const int allOfB = 3 * (4 * 4 + 1); // pieces of 87 rows in four bands and the last band's 8 rows, three files
        EXPECT_TRUE(duringWrite ? writesOfB == allOfB : writesOfB <= 3 * 4 * kThreads) << writesOfB;
        EXPECT_TRUE(QFile::exists(source + QStringLiteral("/Blue/B_a.bmp")));
        EXPECT_EQ(ReadFile(source + QStringLiteral("/Green/G_b.bmp")), QByteArray("older"));
        for (const char *name : {"Red/R_b.bmp", "Blue/B_b.bmp", "Red/R_c.bmp"})
            EXPECT_FALSE(QFile::exists(source + QLatin1Char('/') + QLatin1String(name))) << name;
        EXPECT_EQ(m_window.events.mid(m_window.events.size() - 4), kEnd);
    }

    // Settling from another thread while a's files are being linked, in
    // folders whose first file has already found out that they link.
    const QString source = folder(QStringLiteral("placing"));
    bitmap(source, QStringLiteral("z.bmp"));
    m_window.list = {source};
    m_window.onStatus = {};
    BatchRun run(m_window, m_platform); // which knows from then on that the folders link
    run.setThreads(kThreads);
    ASSERT_EQ(run.run(), BatchOutcome::Completed);
    ASSERT_TRUE(QFile::remove(source + QStringLiteral("/z.bmp")));
    for (const char *name : {"a.bmp", "b.bmp", "c.bmp"}) // b and c split ahead meanwhile
        bitmap(source, QLatin1String(name));
    std::atomic<bool> first = true, linking = false;
    std::atomic<int> writes = 0;
    std::atomic<bool> aheadWritten = false;
    SetFault([&](Step step, std::size_t) {
        writes += step == Step::Write;
        if (step == Step::Link && first.exchange(false)) {
            aheadWritten = eventually([&] { return writes == 9; }); // b and c are written too, one write per file
            linking = true;
            eventually([&] { return run.stopRequested(); }); // asked from within stopAndSettle()
        }
        return 0;
    });
    std::thread worker([&] { EXPECT_EQ(run.run(), BatchOutcome::Stopped); });
    while (!linking)
        std::this_thread::yield();
    run.stopAndSettle(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    const auto placed = [&] {
        QStringList found;
        for (const char *name : {"Red/R_a.bmp", "Green/G_a.bmp", "Blue/B_a.bmp", "Red/R_b.bmp", "Blue/B_c.bmp"})
            if (QFile::exists(source + QLatin1Char('/') + QLatin1String(name)))
                found.append(QLatin1String(name));
        return found;
    };
    const QStringList settled = placed();
    worker.join();
    SetFault({});
    const QStringList all_a = {QStringLiteral("Red/R_a.bmp"), QStringLiteral("Green/G_a.bmp"),
                               QStringLiteral("Blue/B_a.bmp")};
    EXPECT_TRUE(aheadWritten);
    EXPECT_EQ(settled, all_a);
    EXPECT_EQ(placed(), all_a);
}

TEST_F(BatchRunTest, ErrorsEndTheRunWithAProcessingErrorAndKeepFinishedFiles)
{
    struct Case
    {
        const char *name;
        std::function<void(const QString &)> prepare;
        QString red;
        QString expected; // %1 is the source folder
    };
    const std::vector<Case> cases = {
        {"folder_cannot_be_created", [](const QString &) {}, QStringLiteral("no/such"),
         QStringLiteral("Cannot create the folder \"%1/no/such\": No such file or directory.")},
        // b and c, split ahead meanwhile, are put in place after a or not at all.
        {"output_is_a_folder",
         [](const QString &src) { ASSERT_TRUE(QDir(src).mkpath(QStringLiteral("Red/R_a.bmp"))); },
         QStringLiteral("Red"), QStringLiteral("Cannot write \"%1/Red/R_a.bmp\": Is a directory.")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString source = folder(QLatin1String(c.name));
        for (const char *name : {"a.bmp", "b.bmp", "c.bmp"})
            bitmap(source, QLatin1String(name));
        c.prepare(source);
        // a's placing waits until b and c are written, one write per channel file.
        std::atomic<int> writes = 0, atRename = -1;
        SetFault([&](FaultStep step, std::size_t) {
            writes += step == FaultStep::Write;
            if (step == FaultStep::Rename)
                eventually([&] { return writes >= 9; });
            if (step == FaultStep::Rename && atRename < 0)
                atRename = writes.load();
            return 0;
        });
        m_window.list = {source};
        m_window.red = c.red;
        m_window.events.clear();
        m_platform.messages.clear();
        const int policy = ::sched_getscheduler(0);
        EXPECT_EQ(m_run.run(), BatchOutcome::Failed);
        EXPECT_EQ(::sched_getscheduler(0), policy); // a run that fails gives its thread's policy back too
        SetFault({});
        EXPECT_EQ(atRename, c.red == QLatin1String("Red") ? 9 : -1);
        expectProcessingError(c.expected.arg(source));
        EXPECT_FALSE(QFileInfo(source + QStringLiteral("/Red/R_a.bmp")).isFile()); // none of the file's three
        for (const char *name : {"Green", "Blue"}) // nor any file of those after, nor a part file
            EXPECT_EQ(QDir(source + QLatin1Char('/') + QLatin1String(name)).entryList(QDir::Files | QDir::Hidden),
                      QStringList());
        EXPECT_FALSE(QFile::exists(source + QStringLiteral("/Red/R_b.bmp")));
    }
}

TEST_F(BatchRunTest, ProblemsWithOneSourceAreReportedAndTheRunGoesOn)
{
    const QString source = folder(QStringLiteral("src"));
    const QString gone = folder(QStringLiteral("gone"));
    const QString later = folder(QStringLiteral("later"));
    bitmap(source, QStringLiteral("a.bmp"), TestBitmap{6, 6});
    for (const char *name : {"b.bmp", "c.bmp", "d.bmp", "e.bmp"})
        bitmap(source, QLatin1String(name), TestBitmap{6, 5});
    QByteArray shortAll = MakeBitmap({6, 6});
    shortAll.chop(10);
    ASSERT_TRUE(WriteFile(source + QStringLiteral("/0.bmp"), shortAll)); // malformed all along: no message
    const QString r = source + QStringLiteral("/r.bmp");
    bitmap(source, QStringLiteral("r.bmp"), TestBitmap{7, 7});
    std::atomic<int> rewrites = 0; // r, in place, while each of its channel files is written
    std::atomic<int> laterWrites = 0; // of b to e, one per channel file
    SetFault([&](FaultStep step, std::size_t count) {
        laterWrites += step == FaultStep::Write && count == 54 + 5 * 20;
        if (step == FaultStep::Write && count == 54 + 7 * 24) {
            EXPECT_TRUE(WriteFile(r, MakeBitmap({.width = 7, .height = 7, .seed = 9})));
            const timespec times[2] = {{0, UTIME_OMIT}, {1000000000 + ++rewrites, 0}};
            EXPECT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(r).constData(), times, 0), 0);
        }
        return 0;
    });
    for (const char *name : {"f.bmp", "g.bmp", "h.bmp"})
        bitmap(gone, QLatin1String(name));
    bitmap(later, QStringLiteral("i.bmp"));
    const QString b = source + QStringLiteral("/b.bmp");
    const QString c = source + QStringLiteral("/c.bmp");
    const QString d = source + QStringLiteral("/d.bmp");
    const QByteArray cut = ReadFile(b).left(100);
    m_window.list = {source, gone, later};
    m_window.onStatus = [&](const QString &status) {
        if (status.endsWith(QLatin1String("a.bmp"))) {
            eventually([&] { return laterWrites >= 12; }); // b to e are split ahead first
            EXPECT_EQ(laterWrites, 12);
        } else if (status.endsWith(QLatin1String("b.bmp"))) {
            ASSERT_TRUE(WriteFile(b, cut));  // shorter than when it was found
            ASSERT_TRUE(QFile::remove(c));   // gone since the search
            ASSERT_TRUE(WriteFile(d, ""));   // emptied, to be written anew
        } else if (status.endsWith(QLatin1String("f.bmp"))) {
            ASSERT_TRUE(QDir(gone).removeRecursively());
        }
    };
    EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
    SetFault({});

    QStringList shown;
    for (const auto &message : m_platform.messages) {
        EXPECT_EQ(message.title, QStringLiteral("Image Info"));
        EXPECT_EQ(message.icon, MsgIcon::Exclamation);
        shown.append(message.text);
    }
    EXPECT_EQ(shown, QStringList({
                         QStringLiteral("Cannot read \"%1\": the file became shorter after it was found.").arg(b),
                         QStringLiteral("Cannot read \"%1\": No such file or directory.").arg(c),
                         QStringLiteral("Cannot read \"%1\": the file became shorter after it was found.").arg(d),
                         QStringLiteral("Cannot read \"%1\": the file changed while it was read.").arg(r),
                         QStringLiteral("The folder \"%1\" no longer exists; its remaining files were passed over.")
                             .arg(gone),
                     }));
    EXPECT_TRUE(m_window.events.contains(QStringLiteral("status:Splitting... "))); // a gone file has no name
    for (const char *out : {"src/Red/R_a.bmp", "src/Blue/B_e.bmp", "later/Green/G_i.bmp"})
        EXPECT_TRUE(QFile::exists(m_dir.filePath(QLatin1String(out)))) << out;
    for (const char *out : {"src/Red/R_0.bmp", "src/Red/R_b.bmp", "src/Red/R_c.bmp", "src/Red/R_d.bmp", "src/Blue/B_r.bmp"})
        EXPECT_FALSE(QFile::exists(m_dir.filePath(QLatin1String(out)))) << out;
    EXPECT_EQ(m_window.events.mid(m_window.events.size() - 4), kEnd);
}

TEST_F(BatchRunTest, NamesTheFileSystemCannotDecodeAreReportedOncePerFolder)
{
    const QString source = folder(QStringLiteral("src"));
    const QString many = folder(QStringLiteral("many"));
    bitmap(source, QStringLiteral("a.bmp"));
    QList<QByteArray> raw{QFile::encodeName(source) + "/bad\xff.bmp"};
    for (char i = '1'; i <= '7'; ++i)
        raw.append(QFile::encodeName(many) + "/bad" + i + "\xff.bmp");
    for (const QByteArray &name : raw) {
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    m_window.list = {source, many};
    EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
    ASSERT_EQ(m_platform.messages.size(), 2);
    for (const auto &message : m_platform.messages)
        EXPECT_EQ(message.title, QStringLiteral("Image Info"));
    EXPECT_TRUE(m_platform.messages[0].text.startsWith(QLatin1Char('"') + source + QStringLiteral("/bad")));
    EXPECT_TRUE(m_platform.messages[0].text.endsWith(
        QStringLiteral("\" was passed over: its name is not valid in the file system's encoding.")));
    const QString &text = m_platform.messages[1].text;
    EXPECT_TRUE(text.startsWith(QStringLiteral("7 files in \"%1\" were passed over: their names are not valid in "
                                               "the file system's encoding (\"bad1").arg(many)));
    EXPECT_TRUE(text.endsWith(QStringLiteral(".bmp\", and 2 more)."))) << qPrintable(text);
    EXPECT_TRUE(QFile::exists(source + QStringLiteral("/Red/R_a.bmp")));

    // Alone, they are still named before "No Files Found".
    ASSERT_TRUE(QFile::remove(source + QStringLiteral("/a.bmp")));
    m_platform.messages.clear();
    EXPECT_EQ(m_run.run(), BatchOutcome::NoFiles);
    ASSERT_EQ(m_platform.messages.size(), 3);
    EXPECT_EQ(m_platform.messages[2].title, QStringLiteral("No Files Found"));
    for (const QByteArray &name : raw)
        ::unlink(name.constData()); // names the temporary folder's own clean-up cannot spell
}

// The disk keeps what a run of one file at a time keeps: the files before,
// the red and the green file of the one whose blue file found no room, and
// nothing of those after, though they were being split ahead of their turn.
TEST_F(BatchRunTest, ADiskThatFillsDuringABlueFileKeepsRedAndGreenWhole)
{
    struct Case
    {
        const char *name;
        TestBitmap shape;
        int files, full; // the disk fills during the blue file of source `full`
    };
    for (const Case &c : {Case{"large", {1000, 400}, 1, 0}, Case{"small", {100, 100}, 4, 2}}) {
        SCOPED_TRACE(c.name);
        const QString disk = folder(QLatin1String(c.name));
        QList<QByteArray> sources; // the last of several is small enough to fit in any case
        for (int i = 0; i < c.files; ++i)
            sources.append(MakeBitmap(i > 0 && i == c.files - 1 ? TestBitmap{} : c.shape));
        // Room for the sources, the files before, the red and the green file and
        // a little of the blue one. Written side by side, the three would each be
        // two-thirds done when the disk filled, and none would survive.
        const auto room = [&](long long unit) {
            const auto units = [unit](qsizetype size) { return (size + unit - 1) / unit; };
            long long taken = 0;
            for (const QByteArray &source : sources)
                taken += units(source.size());
            const long long each = units(sources.first().size());
            return (taken + (3 * c.full + 2) * each + each / 20 + 1) * unit;
        };
        RunOnSmallDisk(disk, room, [&] {
            for (int i = 0; i < c.files; ++i)
                ASSERT_TRUE(WriteFile(disk + QStringLiteral("/%1.bmp").arg(i), sources[i]));
            m_window.list = {disk};
            m_platform.messages.clear();
            EXPECT_EQ(m_run.run(), BatchOutcome::Failed);
            expectProcessingError(
                QStringLiteral("Cannot write \"%1/Blue/B_%2.bmp\": No space left on device.").arg(disk).arg(c.full));
            for (int i = 0; i < c.files; ++i)
                for (const char channel : {'R', 'G', 'B'}) {
                    const QString output = QStringLiteral("/%1/%2_%3.bmp")
                                               .arg(QLatin1String(channel == 'R' ? "Red" : channel == 'G' ? "Green" : "Blue"))
                                               .arg(QLatin1Char(channel))
                                               .arg(i);
                    const bool kept = i < c.full || (i == c.full && channel != 'B');
                    EXPECT_EQ(ReadFile(disk + output), kept ? ReferenceChannelFiles(sources[i]).at(channel) : QByteArray())
                        << output.toStdString();
                }
            for (const char *name : {"Red", "Green", "Blue"}) // no part file either
                EXPECT_EQ(QDir(disk + QLatin1Char('/') + QLatin1String(name)).entryList(QDir::Hidden | QDir::Files).size(),
                          c.full + (name[0] == 'B' ? 0 : 1));
        });
    }

    // A large image's bands go to every thread: a disk found full by another
    // thread than the run's drops all three, and the pass one channel at a
    // time puts them right. The run's thread writes on only once the other
    // has failed.
    const QString source = folder(QStringLiteral("helper"));
    const QByteArray bytes = MakeBitmap({1000, 1400}); // five bands
    ASSERT_TRUE(WriteFile(source + QStringLiteral("/big.bmp"), bytes));
    const auto here = std::this_thread::get_id();
    std::atomic<int> failedElsewhere = 0;
    bool waited = false;
    std::atomic<bool> linked = false, writtenAfterALink = false; // one channel at a time after the failure
    SetFault([&](FaultStep step, std::size_t) {
        if (step == FaultStep::Link && failedElsewhere > 0)
            linked = true;
        if (step == FaultStep::Write && linked)
            writtenAfterALink = true;
        if (step != FaultStep::Write)
            return 0;
        if (std::this_thread::get_id() != here)
            return ++failedElsewhere == 1 ? ENOSPC : 0;
        if (!waited)
            eventually([&] { return failedElsewhere > 0; });
        waited = true;
        return 0;
    });
    m_window.list = {source};
    EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
    SetFault({});
    EXPECT_GE(failedElsewhere, 1);
    EXPECT_TRUE(writtenAfterALink);
    for (const char channel : {'R', 'G', 'B'})
        EXPECT_EQ(ReadFile(source + QStringLiteral("/%1/%2_big.bmp")
                                        .arg(QLatin1String(channel == 'R' ? "Red" : channel == 'G' ? "Green" : "Blue"))
                                        .arg(QLatin1Char(channel))),
                  ReferenceChannelFiles(bytes).at(channel));

    // A large image split ahead whose band finds the disk full is written again at its turn one channel at a time: each file
    // is linked before the next is written.
    const QString ahead = folder(QStringLiteral("ahead"));
    bitmap(ahead, QStringLiteral("a.bmp"));
    const QByteArray large = MakeBitmap({1004, 1400}); // rows of 3012 bytes, five bands
    ASSERT_TRUE(WriteFile(ahead + QStringLiteral("/big.bmp"), large));
    std::atomic<bool> full = false, itsTurn = false, linkedInTurn = false, writtenAfter = false;
    m_window.onStatus = [&](const QString &status) { itsTurn = status.endsWith(QLatin1String("big.bmp")); };
    SetFault([&](FaultStep step, std::size_t count) {
        if (step == FaultStep::Link && itsTurn)
            linkedInTurn = true;
        if (step == FaultStep::Write && !rowsOf(count, 3012))
            eventually([&] { return full.load(); }); // a is written once big, ahead, found the disk full
        if (step != FaultStep::Write || !rowsOf(count, 3012))
            return 0;
        if (linkedInTurn)
            writtenAfter = true;
        return full.exchange(true) ? 0 : ENOSPC;
    });
    m_window.list = {ahead};
    m_platform.messages.clear();
    EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
    SetFault({});
    m_window.onStatus = {};
    EXPECT_TRUE(m_platform.messages.isEmpty());
    EXPECT_TRUE(writtenAfter);
    EXPECT_EQ(ReadFile(ahead + QStringLiteral("/Blue/B_big.bmp")), ReferenceChannelFiles(large).at('B'));
}

TEST_F(BatchRunTest, AFullDiskEndsTheRunAndKeepsSourcesAndOlderOutputs)
{
    const QString source = folder(QStringLiteral("src"));
    TestBitmap small{4, 4};
    TestBitmap large{100, 100};
    bitmap(source, QStringLiteral("a.bmp"), small);
    bitmap(source, QStringLiteral("b.bmp"), large);
    // and what a killed run left beside them goes
    for (const char *older : {"Red/R_b.bmp", "Green/G_b.bmp", "Red/.R_a.bmp.4194305-0.prismora-part"}) {
        ASSERT_TRUE(QDir(source).mkpath(QFileInfo(QLatin1String(older)).path()));
        ASSERT_TRUE(WriteFile(source + QLatin1Char('/') + QLatin1String(older), "older"));
    }
    m_window.list = {source};

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small4k = saved;
    small4k.rlim_cur = 4096; // writes past 4 KiB fail as on a full disk
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small4k), 0);
    const BatchOutcome outcome = m_run.run();
    setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(outcome, BatchOutcome::Failed);
    expectProcessingError(QStringLiteral("Cannot write \"%1/Red/R_b.bmp\": File too large.").arg(source));
    EXPECT_EQ(ReadFile(source + QStringLiteral("/Red/R_b.bmp")), QByteArray("older"));
    EXPECT_EQ(ReadFile(source + QStringLiteral("/Green/G_b.bmp")), QByteArray("older"));
    EXPECT_TRUE(QFile::exists(source + QStringLiteral("/Blue/B_a.bmp")));
    for (const char *name : {"Red", "Green", "Blue"})
        for (const QString &entry : QDir(source + QLatin1Char('/') + QLatin1String(name))
                                        .entryList(QDir::Files | QDir::Hidden))
            EXPECT_FALSE(entry.startsWith(QLatin1Char('.'))) << qPrintable(entry); // no part files
}

// Names that would put the outputs into the source folder or its parent,
// where the next run would split them again: the run does not start.
TEST_F(BatchRunTest, DestinationNamesThatPointAmongTheSourcesAreRefused)
{
    const QString source = folder(QStringLiteral("src"));
    bitmap(source, QStringLiteral("a.bmp"));
    m_window.list = {source};
    for (const char *name : {"", ".", ".."}) {
        SCOPED_TRACE(name);
        m_window.green = QLatin1String(name);
        m_platform.messages.clear();
        EXPECT_EQ(m_run.run(), BatchOutcome::InvalidName);
        ASSERT_EQ(m_platform.messages.size(), 1);
        EXPECT_EQ(m_platform.messages[0].title, QStringLiteral("Invalid Folder Name"));
        EXPECT_TRUE(m_platform.messages[0].text.startsWith(QStringLiteral("The Green Folder name ")));
        EXPECT_TRUE(m_window.events.isEmpty());
    }
    EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name),
              QStringList{QStringLiteral("src")});
    EXPECT_EQ(QDir(source).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{QStringLiteral("a.bmp")});
}

} // namespace

namespace {

// What a walk of `top` splits, in order, as paths below the scratch folder.
QStringList splitIn(const QStringList &results, const QString &base)
{
    QStringList done;
    for (const QString &line : results)
        done.append(QDir(base).relativeFilePath(line.section(u'\t', 0, 0)) + u' ' + line.section(u'\t', 1));
    return done;
}

// A change the watch is never told of, as by another machine on a network
// mount, is found by its rescan: here a source rewritten through a hard link
// in another folder, which inotify reports to that folder alone.
TEST_F(BatchRunTest, AWatchsRescanFindsAChangeItWasNeverToldOf)
{
    const QString source = folder(QStringLiteral("watched"));
    const QString original = folder(QStringLiteral("elsewhere")) + QStringLiteral("/x.bmp");
    ASSERT_TRUE(WriteFile(original, MakeBitmap({})));
    ASSERT_EQ(::link(QFile::encodeName(original).constData(),
                     QFile::encodeName(source + QStringLiteral("/a.bmp")).constData()),
              0);
    int stop[2];
    ASSERT_EQ(::pipe2(stop, O_CLOEXEC), 0);
    std::atomic<int> passes = 0;
    FolderWatch watch(m_run, m_platform, {}, {QStringLiteral("Red"), QStringLiteral("Green"), QStringLiteral("Blue")},
                      {source}, stop[0], [&passes] { ++passes; }, std::chrono::milliseconds(20));
    std::thread watching([&] { EXPECT_EQ(watch.run(), BatchOutcome::Stopped); });
    const QString red = source + QStringLiteral("/Red/R_a.bmp");
    const auto inode = [&red] {
        struct stat st {};
        return ::stat(QFile::encodeName(red).constData(), &st) == 0 ? st.st_ino : 0;
    };
    EXPECT_TRUE(eventually([&] { return QFile::exists(red); }));
    const auto splitOnce = inode();
    const int seen = passes;
    EXPECT_TRUE(eventually([&] { return passes >= seen + 5; }));
    EXPECT_EQ(inode(), splitOnce); // what is up to date is never split again
    const QByteArray changed = MakeBitmap({.seed = 5});
    QFile file(original); // rewritten in place, as large as before
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_EQ(file.write(changed), changed.size());
    file.close();
    EXPECT_TRUE(eventually([&] { return ReadFile(red) == ReferenceChannelFiles(changed).at('R'); }));
    ASSERT_EQ(::write(stop[1], "x", 1), 1);
    watching.join();
    ::close(stop[0]);
    ::close(stop[1]);
}

} // namespace

// Subfolders depth first, a folder's own files first; never a destination
// folder, a hidden folder, a link to a folder, or a folder walked already.
TEST_F(BatchRunTest, TheWalkEntersSubfoldersButNotDestinationsHiddenLinkedOrRepeatedOnes)
{
    struct Case
    {
        const char *name;
        RunSettings settings;
        QStringList split; // in order
    };
    const Case cases[] = {
        {"beside the sources", settingsOf(true, false), {"top/a.bmp", "top/B/b.bmp", "top/sub/s.bmp", "top/sub/deeper/d.bmp"}},
        {"under an output root inside the folder: a destination name is a folder like any other",
         settingsOf(true, false, QStringLiteral("top/out")),
         {"top/a.bmp", "top/B/b.bmp", "top/Red/R_old.bmp", "top/sub/s.bmp", "top/sub/deeper/d.bmp"}},
        {"without recursion, a folder listed twice is split twice", settingsOf(false, false), {"top/a.bmp", "top/a.bmp"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QTemporaryDir scratch;
        const QDir base(scratch.path());
        for (const char *path : {"top/a.bmp", "top/sub/s.bmp", "top/sub/deeper/d.bmp", "top/B/b.bmp",
                                 "top/Red/R_old.bmp", "top/.hidden/h.bmp", "elsewhere/e.bmp", "top/out/Red/R_a.bmp"}) {
            ASSERT_TRUE(base.mkpath(QFileInfo(QLatin1String(path)).path()));
            ASSERT_TRUE(WriteFile(base.filePath(QLatin1String(path)), MakeBitmap({.width = 3, .height = 2})));
        }
        ASSERT_TRUE(QFile::link(base.filePath(QStringLiteral("elsewhere")), base.filePath(QStringLiteral("top/link"))));
        RunSettings settings = c.settings;
        if (!settings.outputRoot.isEmpty())
            settings.outputRoot = base.filePath(settings.outputRoot);
        m_window.list = {base.filePath(QStringLiteral("top")), base.filePath(QStringLiteral("top/../top"))};
        m_window.results.clear();
        m_run.setSettings(settings);
        EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
        QStringList expected;
        for (const QString &path : c.split)
            expected.append(path + QStringLiteral(" OK"));
        EXPECT_EQ(splitIn(m_window.results, base.path()), expected);
        const QString mirror = base.filePath(settings.outputRoot.isEmpty() ? QStringLiteral("top") : QStringLiteral("top/out/top"));
        EXPECT_EQ(QFile::exists(mirror + QStringLiteral("/sub/deeper/Green/G_d.bmp")), settings.recursive);
        EXPECT_TRUE(QFile::exists(mirror + QStringLiteral("/Blue/B_a.bmp")));
    }
}

// Make's rule, and a sparse output that make would trust.
TEST_F(BatchRunTest, TheUpdateRulePassesOverOnlyCompleteOutputsNoOlderThanTheirSource)
{
    const QString source = folder(QStringLiteral("update"));
    bitmap(source, QStringLiteral("x.bmp"), TestBitmap{400, 300}); // holes come in whole blocks
    const QString blue = source + QStringLiteral("/Blue/B_x.bmp");
    const auto setTime = [](const QString &path, int secondsAgo) {
        const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - secondsAgo, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    };
    struct Case
    {
        const char *name;
        std::function<void()> change; // after a full run
        QString result;
    };
    const Case cases[] = {
        {"all three in place", [] {}, QStringLiteral("up to date")},
        {"one missing", [&] { QFile::remove(blue); }, QStringLiteral("OK")},
        {"one smaller", [&] { QFile::resize(blue, QFileInfo(blue).size() - 1); }, QStringLiteral("OK")},
        {"one larger", [&] { QFile::resize(blue, QFileInfo(blue).size() + 1); }, QStringLiteral("OK")},
        {"one older than the source", [&] { setTime(blue, 100); }, QStringLiteral("OK")},
        {"one of the right size but sparse, as a power cut can leave it",
         [&] {
             const qint64 size = QFileInfo(blue).size();
             QFile::remove(blue);
             ASSERT_TRUE(WriteFile(blue, ReadFile(source + QStringLiteral("/Red/R_x.bmp")).left(54)));
             QFile::resize(blue, size);
         },
         QStringLiteral("OK")},
        {"the source touched since", [&] { setTime(source + QStringLiteral("/x.bmp"), -100); }, QStringLiteral("OK")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        m_window.list = {source};
        setTime(source + QStringLiteral("/x.bmp"), 10);
        m_run.setSettings({});
        ASSERT_EQ(m_run.run(), BatchOutcome::Completed);
        c.change();
        struct stat before {};
        ::stat(QFile::encodeName(source + QStringLiteral("/Red/R_x.bmp")).constData(), &before);
        m_window.results.clear();
        m_run.setSettings(settingsOf(false, true));
        EXPECT_EQ(m_run.run(), BatchOutcome::Completed);
        EXPECT_EQ(m_window.results, QStringList{source + QStringLiteral("/x.bmp\t") + c.result});
        EXPECT_EQ(m_run.filesPlaced(), c.result == QLatin1String("OK") ? 1 : 0);
        EXPECT_EQ(m_run.problems(), 0);
        EXPECT_EQ(ReadFile(blue), ReferenceChannelFiles(ReadFile(source + QStringLiteral("/x.bmp"))).at('B'));
        struct stat after {};
        ::stat(QFile::encodeName(source + QStringLiteral("/Red/R_x.bmp")).constData(), &after);
        EXPECT_EQ(after.st_ino == before.st_ino, c.result != QLatin1String("OK")); // untouched when up to date
    }
}
