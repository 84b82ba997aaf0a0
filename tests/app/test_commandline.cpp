// The command line, run as a user's script runs it: the built program in a
// child process with no display, its exit code, its two streams and the files
// it leaves.

#include "support/bitmaps.h"
#include "support/scriptedplatform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>

namespace {

// Every case starts from the same folders:
//   a/        x.bmp and y.bmp to split, z.bmp (8 bits per pixel) to refuse
//   empty/    no bitmap
//   blocked/  x.bmp, and a plain file where its red folder belongs
//   big/      a.bmp, then b.bmp of 800 MB, long enough to be interrupted
// and the saved options name the red folder "Rot".
void makeFolders(const QDir &dir)
{
    for (const char *folder : {"a", "empty", "blocked", "big", "config/Prismora"})
        ASSERT_TRUE(dir.mkpath(QLatin1String(folder)));
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("a/x.bmp")), MakeBitmap({.width = 5, .height = 3})));
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("a/y.bmp")), MakeBitmap({.width = 2, .height = -4, .seed = 7})));
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("a/z.bmp")), MakeBitmap({.bitCount = 8})));
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("empty/notes.txt")), "x"));
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("blocked/x.bmp")), MakeBitmap({})));
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("blocked/Rot")), "not a folder"));
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("big/a.bmp")), MakeBitmap({.width = 3, .height = 3})));
    constexpr std::int32_t kWidth = 8192, kHeight = 32768;
    const QString big = dir.filePath(QStringLiteral("big/b.bmp"));
    QByteArray header = MakeBitmap({.width = kWidth, .height = 1}).left(54);
    PutI32(header, 22, kHeight);
    ASSERT_TRUE(WriteFile(big, header));
    ASSERT_TRUE(QFile::resize(big, 54 + qint64{3} * kWidth * kHeight)); // sparse: made at once, read fast
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("config/Prismora/Prismora.conf")), "[Main]\nRedDir=Rot\n"));
}

// Every file below the listed folders' subfolders, as "folder/sub/name".
QStringList outputsIn(const QDir &dir)
{
    QStringList found;
    for (const char *folder : {"a", "empty", "blocked", "big"}) {
        QDirIterator it(dir.filePath(QLatin1String(folder)), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = dir.relativeFilePath(it.next());
            if (path.count(QLatin1Char('/')) > 1)
                found.append(path);
        }
    }
    found.sort();
    return found;
}

struct Case
{
    const char *name;
    QStringList args;  // "{dir}" stands for the scratch folder
    int exitCode;
    QString out;       // standard output, exact
    QString err;       // standard error, exact
    QStringList split; // sources whose three channel files must be in place, exact
    QStringList names; // of the destination folders
    bool interrupt = false; // SIGINT once the first line is out
    bool outIsPrefix = false;
};

const QString kUsageHint = QStringLiteral("Try 'prismora --help'.\n");
const QStringList kSaved = {QStringLiteral("Rot"), QStringLiteral("Green"), QStringLiteral("Blue")};

TEST(CommandLine, ExitCodesMessagesAndOutputs)
{
    const Case cases[] = {
        {"help needs no display", {"--help"}, 0, "Usage: prismora\n", "", {}, {}, false, true},
        {"version needs no display", {"--version"}, 0, "prismora " PRISMORA_VERSION_TEXT "\n", "", {}, {}},
        {"splits with the saved names, silently", {"--process", "{dir}/a"}, 0, "", "", {"a/x.bmp", "a/y.bmp"}, kSaved},
        {"verbose lists every file, names given",
         {"--verbose", "--process", "{dir}/a", "--names", "R", "G", "B"},
         0,
         "{dir}/a/x.bmp\tOK\n{dir}/a/y.bmp\tOK\n{dir}/a/z.bmp\tNot a 24 bit bitmap.\n",
         "",
         {"a/x.bmp", "a/y.bmp"},
         {"R", "G", "B"}},
        {"a name the options refuse", {"--process", "--names", "R", "G:x", "B", "{dir}/a"}, 2, "",
         "prismora: \"G:x\" is not a valid folder name: it holds \":\"\n" + kUsageHint, {}, {}},
        {"too few names", {"--process", "{dir}/a", "--names", "R", "G"}, 2, "",
         "prismora: --names takes three folder names: --names RED GREEN BLUE\n" + kUsageHint, {}, {}},
        {"an unknown option", {"--process", "--force", "{dir}/a"}, 2, "",
         "prismora: Unknown option 'force'.\n" + kUsageHint, {}, {}},
        {"folders without --process", {"{dir}/a"}, 2, "",
         "prismora: folders, --names and --verbose go with --process\n" + kUsageHint, {}, {}},
        {"no folder", {"--process"}, 3, "", "No Folders Added: No folders have been added for processing.\n", {}, {}},
        {"no bitmap", {"--process", "{dir}/empty", "{dir}/missing"}, 3, "",
         "No Files Found: No bitmap files were found in the selected folders.\n", {}, {}},
        {"a destination that cannot be written", {"--process", "{dir}/a", "{dir}/blocked"}, 1, "",
         "Processing Error: Cannot write \"{dir}/blocked/Rot/R_x.bmp\": Not a directory.\n", {"a/x.bmp", "a/y.bmp"}, kSaved},
        {"Ctrl+C abandons the file in progress", {"--process", "--verbose", "{dir}/big"}, 130, "{dir}/big/a.bmp\tOK\n",
         "", {"big/a.bmp"}, kSaved, true},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir scratch;
        ASSERT_TRUE(scratch.isValid());
        const QDir dir(scratch.path());
        makeFolders(dir);
        const auto expand = [&](QString text) { return text.replace(QStringLiteral("{dir}"), dir.path()); };

        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        child.setProcessEnvironment(env);
        QStringList args;
        for (const QString &arg : c.args)
            args.append(expand(arg));
        child.start(QStringLiteral(PRISMORA_BINARY), args);
        ASSERT_TRUE(child.waitForStarted());
        QByteArray out;
        if (c.interrupt) {
            while (!out.contains('\n') && child.waitForReadyRead(30000))
                out += child.readAllStandardOutput();
            ASSERT_EQ(child.state(), QProcess::Running); // and so its id is not 0, the whole group
            ::kill(static_cast<pid_t>(child.processId()), SIGINT);
        }
        ASSERT_TRUE(child.waitForFinished(60000));
        out += child.readAllStandardOutput();

        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), c.exitCode);
        const QString expectedOut = expand(c.out);
        EXPECT_EQ(c.outIsPrefix ? QString::fromUtf8(out).left(expectedOut.size()) : QString::fromUtf8(out), expectedOut);
        EXPECT_EQ(QString::fromUtf8(child.readAllStandardError()), expand(c.err));

        QStringList expected;
        for (const QString &source : c.split) {
            const QString folder = source.section(QLatin1Char('/'), 0, 0);
            const QString base = source.section(QLatin1Char('/'), 1);
            const std::map<char, QByteArray> reference = ReferenceChannelFiles(ReadFile(dir.filePath(source)));
            for (int i = 0; i < 3; ++i) {
                const char channel = "RGB"[i];
                const QString output = folder + QLatin1Char('/') + c.names[i] + QLatin1Char('/') + QLatin1Char(channel)
                                       + QLatin1Char('_') + base;
                expected.append(output);
                EXPECT_EQ(ReadFile(dir.filePath(output)), reference.at(channel)) << output.toStdString();
            }
        }
        expected.sort();
        EXPECT_EQ(outputsIn(dir), expected);
    }
}

} // namespace
