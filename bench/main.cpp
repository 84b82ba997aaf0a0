// prismora-bench: runs the batch run headless over the given folders, as if
// they were listed in the main window, and reports the throughput. With
// --floor it first times five floors on the same file system: a plain copy
// of every source, three times over; the strict floor, which reads each
// source once and writes it three times, as the splitter's work is; the
// strict floor on as many threads as the run has, the sources dealt out to
// them in turn, which is what the machine can do; that once more with each
// output an unnamed file linked into place when complete, as the run writes
// them; and that with each piece's channel taken out before it is written,
// which is all a split must do. The floors use plain system calls and the
// buffers of one piece per thread. Each floor is timed the best of two
// rounds, and so is the run when none of its outputs was there before; each
// round starts once the file systems have written back the one before.

#include "batch/batchrun.h"
#include "batch/headless.h"
#include "batch/runoptions.h"
#include "bitmap/channelsplit.h"
#include "bitmap/splitter.h"
#include "platform/fileio.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

// The channel files the run will write for the files it meets.
std::vector<QByteArray> channelFiles(const QList<FolderFiles> &work, const QStringList &names)
{
    std::vector<QByteArray> outputs;
    const ChannelFolders channels(names[0], names[1], names[2]);
    for (const FolderFiles &folder : work)
        for (const QString &file : folder.filePaths)
            for (const QByteArray &name : ChannelFileNames(file, QFile::encodeName(file), channels, folder.destination))
                outputs.emplace_back(name.constData(), name.size()); // a copy: the names are views
    return outputs;
}

// Whether `path` may be there: only a name known to be missing is not.
bool mayExist(const QByteArray &path)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

QByteArray folderOf(const QByteArray &path)
{
    return path.left(path.lastIndexOf('/'));
}

// The folders missing now that `outputs` would go into, theirs among them,
// the deepest first.
std::vector<QByteArray> missingFolders(const std::vector<QByteArray> &outputs)
{
    QSet<QByteArray> missing;
    for (const QByteArray &output : outputs)
        for (QByteArray folder = folderOf(output); !folder.isEmpty() && !missing.contains(folder) && !mayExist(folder);
             folder = folderOf(folder))
            missing.insert(folder);
    std::vector<QByteArray> deepestFirst(missing.begin(), missing.end());
    std::sort(deepestFirst.begin(), deepestFirst.end(),
              [](const QByteArray &a, const QByteArray &b) { return a.size() > b.size(); });
    return deepestFirst;
}

enum class Floor {
    Plain,  // each source read three times, each time written to one file
    Strict, // each source read once, every piece written to three files
    Atomic, // as Strict, each output an unnamed file linked into place when complete
    Split,  // as Atomic, each piece's channel taken out before it is written
};

// Reads `from` once (or once per target) and writes every piece to the three
// targets, with plain system calls and the caller's one buffer, and the
// channel's buffer after it in a split.
bool copyFile(Floor floor, const QByteArray &from, const QByteArray &folder, const QByteArray (&targets)[3],
              std::uint8_t *buffer, std::uint8_t *channel, std::size_t size)
{
    constexpr Channel kChannels[3] = {Channel::Red, Channel::Green, Channel::Blue};
    const bool unnamed = floor == Floor::Atomic || floor == Floor::Split;
    const int passes = floor == Floor::Plain ? 3 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
        if (in < 0)
            return false;
        int outs[3] = {-1, -1, -1};
        const int first = floor == Floor::Plain ? pass : 0, last = floor == Floor::Plain ? pass + 1 : 3;
        bool ok = true;
        for (int k = first; k < last && ok; ++k) {
            outs[k] = unnamed ? ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644)
                              : ::open(targets[k].constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ok = outs[k] >= 0;
        }
        for (ssize_t got; ok && (got = ::read(in, buffer, size)) != 0;) {
            ok = got > 0;
            for (int k = first; k < last && ok; ++k) {
                const std::uint8_t *out = buffer;
                if (floor == Floor::Split) { // a piece may end inside a pixel: its last bytes are copied
                    const auto pixels = static_cast<std::size_t>(got) / 3;
                    ExtractChannel(buffer, channel, pixels, kChannels[k]);
                    std::memcpy(channel + 3 * pixels, buffer + 3 * pixels, static_cast<std::size_t>(got) % 3);
                    out = channel;
                }
                ok = ::write(outs[k], out, static_cast<std::size_t>(got)) == got;
            }
        }
        for (int k = first; k < last; ++k) {
            if (ok && unnamed) {
                const QByteArray proc = "/proc/self/fd/" + QByteArray::number(outs[k]);
                ok = ::linkat(AT_FDCWD, proc.constData(), AT_FDCWD, targets[k].constData(), AT_SYMLINK_FOLLOW) == 0;
            }
            if (outs[k] >= 0)
                ::close(outs[k]);
        }
        ::close(in);
        if (!ok)
            return false;
    }
    return true;
}

// Seconds to copy every file into a scratch folder beside it as `floor` says,
// on `threads` threads, thread k taking files k, k + threads, ..., once
// nothing earlier is left to write back.
double timeCopyFloor(const QStringList &files, Floor floor, int threads)
{
    constexpr std::size_t kBuffer = std::size_t{256} << 10;
    QList<std::shared_ptr<QTemporaryDir>> scratch;
    QHash<QString, QByteArray> scratchOf;
    struct Copy
    {
        QByteArray from, folder, targets[3];
    };
    std::vector<Copy> copies;
    for (qsizetype index = 0; index < files.size(); ++index) {
        const QString folder = QFileInfo(files[index]).absolutePath();
        if (!scratchOf.contains(folder)) {
            auto dir = std::make_shared<QTemporaryDir>(folder + QStringLiteral("/.prismora-floor-XXXXXX"));
            if (!dir->isValid())
                dir = std::make_shared<QTemporaryDir>();
            scratch.append(dir);
            scratchOf.insert(folder, QFile::encodeName(dir->path()));
        }
        const QByteArray &to = scratchOf[folder];
        const QByteArray number = QByteArray::number(index);
        copies.push_back({QFile::encodeName(files[index]), to, {to + "/R_" + number, to + "/G_" + number, to + "/B_" + number}});
    }
    const auto copyShare = [&](std::size_t first) {
        // A channel starts on a cache line, as the run's do.
        const auto buffers = std::make_unique_for_overwrite<std::uint8_t[]>(2 * kBuffer + 64);
        std::uint8_t *const after = buffers.get() + kBuffer;
        std::uint8_t *const channel = after + (64 - reinterpret_cast<std::uintptr_t>(after) % 64) % 64;
        for (std::size_t index = first; index < copies.size(); index += static_cast<std::size_t>(threads)) {
            const Copy &copy = copies[index];
            if (!copyFile(floor, copy.from, copy.folder, copy.targets, buffers.get(), channel, kBuffer))
                std::fprintf(stderr, "floor: cannot copy %s\n", copy.from.constData());
        }
    };
    ::sync();
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> helpers;
    for (int k = 1; k < threads; ++k)
        helpers.emplace_back(copyShare, static_cast<std::size_t>(k));
    copyShare(0);
    for (std::thread &helper : helpers)
        helper.join();
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    IgnoreFileSizeSignal();
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const RunOptions runOptions;
    const QCommandLineOption floor(QStringLiteral("floor"), QStringLiteral("Time the floors first."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show the usage."));
    parser.addOptions(runOptions.options());
    parser.addOptions({floor, help});
    const auto usage = [](const QString &error) {
        if (!error.isEmpty())
            std::fprintf(stderr, "prismora-bench: %s\n", qPrintable(error));
        std::fputs("usage: prismora-bench [--red NAME] [--green NAME] [--blue NAME] [--jobs N] [--recursive] [--update]\n"
                   "                      [--output DIR] [--floor] FOLDER...\n",
                   stderr);
        return 2;
    };
    QStringList names;
    int jobs = 0;
    QString error;
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet(help))
        return usage({});
    if (!runOptions.read(parser, {QStringLiteral("Red"), QStringLiteral("Green"), QStringLiteral("Blue")}, {}, &names,
                         &jobs, &error))
        return usage(error);
    const QStringList folders = parser.positionalArguments();
    if (folders.isEmpty())
        return usage({});
    RunSettings settings;
    if (!runOptions.readSettings(parser, folders, &settings, &error))
        return usage(error);
    const int threads = RunOptions::threadsFor(jobs);

    // The listing alone, which the run does too and the floors are spared.
    QElapsedTimer listing;
    listing.start();
    qsizetype total = 0;
    const QList<FolderFiles> work = FolderWalk(settings, names).collect(folders, &total);
    const double listSeconds = static_cast<double>(listing.nsecsElapsed()) / 1e9;
    QStringList files;
    qint64 bytes = 0; // as the listing found them
    for (const FolderFiles &folder : work) {
        files += folder.filePaths;
        for (const qint64 size : folder.fileSizes)
            bytes += size;
    }

    // Each floor is the best of two rounds, so a cold first round cannot flatter the ratio.
    const auto bestOfTwo = [&files](Floor kind, int threadCount) {
        return std::min(timeCopyFloor(files, kind, threadCount), timeCopyFloor(files, kind, threadCount));
    };
    const bool withFloor = parser.isSet(floor);
    const double floorSeconds = withFloor ? bestOfTwo(Floor::Plain, 1) : 0.0;
    const double strictSeconds = withFloor ? bestOfTwo(Floor::Strict, 1) : 0.0;
    const double coresSeconds = withFloor ? bestOfTwo(Floor::Strict, threads) : 0.0;
    const double atomicSeconds = withFloor ? bestOfTwo(Floor::Atomic, threads) : 0.0;
    const double splitSeconds = withFloor ? bestOfTwo(Floor::Split, threads) : 0.0;

    // The run is timed twice as well when none of its outputs was there
    // before, the first round's outputs and the folders it made removed in
    // between, so that the second does the first's work (the folders must be
    // quiet meanwhile). A second round that does not complete does not count.
    const std::vector<QByteArray> outputs = channelFiles(work, names);
    const bool fresh = std::none_of(outputs.begin(), outputs.end(), mayExist);
    const std::vector<QByteArray> madeFolders = fresh ? missingFolders(outputs) : std::vector<QByteArray>();
    const auto timeRun = [&](BatchOutcome *outcome) {
        ConsolePlatform platform;
        HeadlessWindow window(names, folders);
        BatchRun run(window, platform);
        run.setThreads(threads);
        run.setSettings(settings);
        ::sync();
        QElapsedTimer timer;
        timer.start();
        *outcome = run.run();
        return static_cast<double>(timer.nsecsElapsed()) / 1e9;
    };
    BatchOutcome outcome = BatchOutcome::Completed;
    double seconds = timeRun(&outcome);
    int rounds = 1;
    if (fresh && outcome == BatchOutcome::Completed) {
        for (const QByteArray &output : outputs)
            ::unlink(output.constData());
        for (const QByteArray &folder : madeFolders)
            ::rmdir(folder.constData()); // left alone if something else is in it
        const double again = timeRun(&outcome);
        if (outcome == BatchOutcome::Completed) {
            seconds = std::min(seconds, again);
            rounds = 2;
        }
    }

    const auto mbps = [bytes](double s) { return s > 0 ? static_cast<double>(bytes) / 1e6 / s : 0.0; };
    std::printf("files=%lld bytes=%lld seconds=%.3f MBps=%.1f jobs=%d list_seconds=%.3f rounds=%d\n",
                static_cast<long long>(files.size()), static_cast<long long>(bytes), seconds, mbps(seconds), threads,
                listSeconds, rounds);
    if (withFloor) {
        const auto ratio = [&](double floorSeconds_) { return seconds > 0 ? floorSeconds_ / seconds : 0.0; };
        std::printf("floor_MBps=%.1f ratio=%.3f strict_floor_MBps=%.1f strict_ratio=%.3f cores_floor_MBps=%.1f "
                    "cores_ratio=%.3f atomic_floor_MBps=%.1f atomic_ratio=%.3f split_floor_MBps=%.1f "
                    "split_ratio=%.3f\n",
                    mbps(floorSeconds), ratio(floorSeconds), mbps(strictSeconds), ratio(strictSeconds),
                    mbps(coresSeconds), ratio(coresSeconds), mbps(atomicSeconds), ratio(atomicSeconds),
                    mbps(splitSeconds), ratio(splitSeconds));
    }
    return outcome == BatchOutcome::Failed ? 1 : 0;
}
