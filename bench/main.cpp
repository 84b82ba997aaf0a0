// prismora-bench: runs the batch run headless over the given folders, as if
// they were listed in the main window, and reports the throughput. With
// --floor it first times two copy floors on the same file system: a plain copy
// of every source, three times over, and the strict floor, which reads each
// source once and writes it three times, as the splitter's work is.

#include "batch/batchrun.h"
#include "batch/headless.h"
#include "platform/fileio.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// The files the run will meet, found the way the run finds them.
QStringList sourceFiles(const QStringList &folders)
{
    qsizetype total = 0;
    QStringList files;
    for (const FolderFiles &folder : CollectBitmapFiles(folders, &total))
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
// three reads and three writes each, or with `strict` one read and three writes.
double timeCopyFloor(const QStringList &files, bool strict)
{
    constexpr std::size_t kBuffer = std::size_t{128} << 10;
    auto buffer = std::make_unique<std::uint8_t[]>(kBuffer);
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
    QElapsedTimer timer;
    timer.start();
    qsizetype index = 0;
    for (const QString &file : files) {
        const QString dir = scratchOf.value(QFileInfo(file).absolutePath());
        QStringList targets;
        for (const char *prefix : {"/R_", "/G_", "/B_"})
            targets.append(dir + QLatin1String(prefix) + QString::number(index));
        bool copied = true;
        if (strict) {
            copied = copyFile(file, targets, buffer.get(), kBuffer);
        } else {
            for (const QString &target : targets)
                copied = copyFile(file, {target}, buffer.get(), kBuffer) && copied;
        }
        if (!copied)
            std::fprintf(stderr, "floor: cannot copy %s\n", qPrintable(file));
        ++index;
    }
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

int usage()
{
    std::fputs("usage: prismora-bench [--names RED GREEN BLUE] [--floor] FOLDER...\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    IgnoreFileSizeSignal();
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    QStringList names{QStringLiteral("Red"), QStringLiteral("Green"), QStringLiteral("Blue")};
    QStringList folders;
    bool floor = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--floor")) {
            floor = true;
        } else if (args[i] == QLatin1String("--names")) {
            if (i + 3 >= args.size())
                return usage();
            names = args.mid(i + 1, 3);
            i += 3;
        } else if (args[i] == QLatin1String("--help") || args[i] == QLatin1String("-h")) {
            return usage();
        } else {
            folders.append(args[i]);
        }
    }
    if (folders.isEmpty())
        return usage();

    const QStringList files = sourceFiles(folders);
    qint64 bytes = 0;
    for (const QString &file : files)
        bytes += QFileInfo(file).size();

    // Each floor is the best of two rounds, so a cold first round cannot flatter the ratio.
    const auto bestOfTwo = [&files](bool strict) {
        return std::min(timeCopyFloor(files, strict), timeCopyFloor(files, strict));
    };
    const double floorSeconds = floor ? bestOfTwo(false) : 0.0;
    const double strictSeconds = floor ? bestOfTwo(true) : 0.0;

    ConsolePlatform platform;
    HeadlessWindow window(names, folders);
    BatchRun run(window, platform);
    QElapsedTimer timer;
    timer.start();
    const BatchOutcome outcome = run.run();
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;

    const auto mbps = [bytes](double s) { return s > 0 ? static_cast<double>(bytes) / 1e6 / s : 0.0; };
    std::printf("files=%lld bytes=%lld seconds=%.3f MBps=%.1f\n", static_cast<long long>(files.size()),
                static_cast<long long>(bytes), seconds, mbps(seconds));
    if (floor) {
        const auto ratio = [&](double floorMbps) { return floorMbps > 0 ? mbps(seconds) / floorMbps : 0.0; };
        std::printf("floor_MBps=%.1f ratio=%.3f strict_floor_MBps=%.1f strict_ratio=%.3f\n", mbps(floorSeconds),
                    ratio(mbps(floorSeconds)), mbps(strictSeconds), ratio(mbps(strictSeconds)));
    }
    return outcome == BatchOutcome::Failed ? 1 : 0;
}
