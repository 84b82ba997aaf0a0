// prismora-bench: runs the batch run headless over the given folders, as if
// they were listed in the main window, and reports the throughput. With
// --floor it first times three copy floors on the same file system: a plain
// copy of every source, three times over; the strict floor, which reads each
// source once and writes it three times, as the splitter's work is; and the
// strict floor on as many threads as the run has, the sources dealt out to
// them in turn, which is what the machine can do.

#include "batch/batchrun.h"
#include "batch/headless.h"
#include "batch/runoptions.h"
#include "platform/fileio.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

// The files the run will meet, found the way the run finds them.
QStringList sourceFiles(const QStringList &folders, const RunSettings &settings, const QStringList &names)
{
    qsizetype total = 0;
    QStringList files;
    for (const FolderFiles &folder : FolderWalk(settings, names).collect(folders, &total))
        files += folder.filePaths;
    return files;
}

// Reads `from` once and writes every piece of it to each of `targets`.
bool copyFile(const QString &from, const QStringList &targets, std::uint8_t *buffer, std::size_t size)
{
    SourceFile in;
    if (!in.open(from))
        return false;
    std::vector<std::unique_ptr<QFile>> outs;
    for (const QString &target : targets) {
        outs.push_back(std::make_unique<QFile>(target));
        if (!outs.back()->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            return false;
    }
    for (std::int64_t at = 0;;) {
        const std::int64_t got = in.readAt(at, buffer, size);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        for (auto &out : outs)
            if (out->write(reinterpret_cast<const char *>(buffer), got) != got)
                return false;
        at += got;
    }
    return true;
}

// Seconds to copy every file three times into a scratch folder beside it:
// three reads and three writes each, or with `strict` one read and three
// writes, on `threads` threads, thread k taking files k, k + threads, ...
double timeCopyFloor(const QStringList &files, bool strict, int threads)
{
    constexpr std::size_t kBuffer = std::size_t{128} << 10;
    QList<std::shared_ptr<QTemporaryDir>> scratch;
    QHash<QString, QString> scratchOf;
    for (const QString &file : files) {
        const QString folder = QFileInfo(file).absolutePath();
        if (!scratchOf.contains(folder)) {
            auto dir = std::make_shared<QTemporaryDir>(folder + QStringLiteral("/.prismora-floor-XXXXXX"));
            if (!dir->isValid())
                dir = std::make_shared<QTemporaryDir>();
            scratch.append(dir);
            scratchOf.insert(folder, dir->path());
        }
    }
    QStringList scratchFolders;
    for (const QString &file : files)
        scratchFolders.append(scratchOf.value(QFileInfo(file).absolutePath()));
    const auto copyShare = [&](int first) {
        auto buffer = std::make_unique<std::uint8_t[]>(kBuffer);
        for (qsizetype index = first; index < files.size(); index += threads) {
            QStringList targets;
            for (const char *prefix : {"/R_", "/G_", "/B_"})
                targets.append(scratchFolders[index] + QLatin1String(prefix) + QString::number(index));
            bool copied = true;
            if (strict) {
                copied = copyFile(files[index], targets, buffer.get(), kBuffer);
            } else {
                for (const QString &target : targets)
                    copied = copyFile(files[index], {target}, buffer.get(), kBuffer) && copied;
            }
            if (!copied)
                std::fprintf(stderr, "floor: cannot copy %s\n", qPrintable(files[index]));
        }
    };
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> helpers;
    for (int k = 1; k < threads; ++k)
        helpers.emplace_back(copyShare, k);
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
    const QCommandLineOption floor(QStringLiteral("floor"), QStringLiteral("Time the copy floors first."));
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

    const QStringList files = sourceFiles(folders, settings, names);
    qint64 bytes = 0;
    for (const QString &file : files)
        bytes += QFileInfo(file).size();

    // Each floor is the best of two rounds, so a cold first round cannot flatter the ratio.
    const auto bestOfTwo = [&files](bool strict, int threadCount) {
        return std::min(timeCopyFloor(files, strict, threadCount), timeCopyFloor(files, strict, threadCount));
    };
    const bool withFloor = parser.isSet(floor);
    const double floorSeconds = withFloor ? bestOfTwo(false, 1) : 0.0;
    const double strictSeconds = withFloor ? bestOfTwo(true, 1) : 0.0;
    const double coresSeconds = withFloor ? bestOfTwo(true, threads) : 0.0;

    ConsolePlatform platform;
    HeadlessWindow window(names, folders);
    BatchRun run(window, platform);
    run.setThreads(threads);
    run.setSettings(settings);
    QElapsedTimer timer;
    timer.start();
    const BatchOutcome outcome = run.run();
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;

    const auto mbps = [bytes](double s) { return s > 0 ? static_cast<double>(bytes) / 1e6 / s : 0.0; };
    std::printf("files=%lld bytes=%lld seconds=%.3f MBps=%.1f jobs=%d\n", static_cast<long long>(files.size()),
                static_cast<long long>(bytes), seconds, mbps(seconds), threads);
    if (withFloor) {
        const auto ratio = [&](double floorSeconds_) { return seconds > 0 ? floorSeconds_ / seconds : 0.0; };
        std::printf("floor_MBps=%.1f ratio=%.3f strict_floor_MBps=%.1f strict_ratio=%.3f cores_floor_MBps=%.1f "
                    "cores_ratio=%.3f\n",
                    mbps(floorSeconds), ratio(floorSeconds), mbps(strictSeconds), ratio(strictSeconds),
                    mbps(coresSeconds), ratio(coresSeconds));
    }
    return outcome == BatchOutcome::Failed ? 1 : 0;
}
