// The command line, run as a user's script runs it: the built program in a
// child process with no display, its exit code, its two streams and the files
// it leaves.

#include "app/commandline.h"
#include "platform/fileio.h"
#include "support/bitmaps.h"
#include "support/faults.h"
#include "support/scriptedplatform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A source name as long as names can be: its channel files' names cannot be.
const QString kLongName = QString(251, QLatin1Char('n')) + QStringLiteral(".bmp");

// Every case starts from the same folders:
//   a/        x.bmp and y.bmp to split, z.bmp (8 bits per pixel) to refuse
//   empty/    no bitmap
//   blocked/  x.bmp, and a plain file where its red folder belongs
//   big/      a.bmp, then b.bmp of 800 MB, long enough to be interrupted
//   odd/      a bitmap named with a tab, a backslash and a line break, a FIFO
//             named c.bmp, and a bitmap whose name is as long as names can be
// and the saved options name the red folder "Rot".
void makeFolders(const QDir &dir)
{
    for (const char *folder : {"a", "empty", "blocked", "big", "odd", "config/Prismora"})
        ASSERT_TRUE(dir.mkpath(QLatin1String(folder)));
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("odd/a\tb\\c\nd.bmp")), MakeBitmap({.width = 2, .height = 2})));
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("odd/c.bmp"))).constData(), 0600), 0);
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("odd/")) + kLongName, MakeBitmap({})));
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
    for (const char *folder : {"a", "empty", "blocked", "big", "odd"}) {
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

// Every file below `dir`, as paths relative to it, sorted.
QStringList filesBelow(const QDir &dir)
{
    QStringList found;
    for (QDirIterator it(dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        found.append(dir.relativeFilePath(it.next()));
    found.sort();
    return found;
}

// In a child about to run the program: a user who is not root, where the test
// runs as root. Plain system calls: until it execs, the child may share the
// test's memory, and the C library's setuid() would reach into its threads.
bool BecomeAnotherUser()
{
    return ::geteuid() != 0
           || (::syscall(SYS_setgroups, 0, nullptr) == 0 && ::syscall(SYS_setgid, 65534) == 0
               && ::syscall(SYS_setuid, 65534) == 0);
}

// The program, copied where that user may reach it: the build may be in a
// private folder.
QString ReachableBinary()
{
    static const QString copy = [] {
        static QTemporaryDir dir;
        ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
        const QString path = dir.filePath(QStringLiteral("prismora"));
        QFile::copy(QStringLiteral(PRISMORA_BINARY), path);
        return path;
    }();
    return copy;
}

struct Case
{
    enum Act { None, Interrupt, Terminate, CloseOutput, FullDisk, NoThreads };
    const char *name;
    QStringList args;  // "{dir}" stands for the scratch folder
    int exitCode;      // 128 + the signal for a process it ended
    QString out;       // standard output, exact
    QString err;       // standard error, exact
    QStringList split; // sources whose three channel files must be in place, exact
    QStringList names; // of the destination folders
    // SIGINT or SIGTERM once the first line is out; standard output's reader
    // gone at once, standard output on a full disk, or a process that may
    // start no thread
    Act act = None;
    bool outIsPrefix = false;
};

const QString kUsageHint = QStringLiteral("Try 'prismora --help'.\n");
const QString kStopped = QStringLiteral("Stopped: 1 file was put in place; the files in progress were abandoned and "
                                        "their older outputs left untouched.\n");
const QStringList kSaved = {QStringLiteral("Rot"), QStringLiteral("Green"), QStringLiteral("Blue")};

TEST(CommandLine, ExitCodesMessagesAndOutputs)
{
    const QString odd = QStringLiteral("{dir}/odd/");
    const Case cases[] = {
        {"help needs no display", {"--help"}, 0, "Usage: prismora\n", "", {}, {}, Case::None, true},
        {"version needs no display", {"--version"}, 0, "prismora " PRISMORA_VERSION_TEXT "\n", "", {}, {}},
        {"splits with the saved names, silently", {"--process", "--jobs", "1", "{dir}/a"}, 0, "", "",
         {"a/x.bmp", "a/y.bmp"}, kSaved},
        {"verbose lists every file, names given",
         {"--verbose", "--process", "{dir}/a", "--red", "R", "--green=G", "--blue", "B"},
         0,
         "{dir}/a/x.bmp\tOK\n{dir}/a/y.bmp\tOK\n{dir}/a/z.bmp\tNot a 24 bit bitmap.\n",
         "",
         {"a/x.bmp", "a/y.bmp"},
         {"R", "G", "B"}},
        {"problems with sources and a missing folder: exit 4, escaped paths",
         {"--process", "--verbose", "{dir}/missing", "{dir}/odd"},
         4,
         odd + "a\\tb\\\\c\\nd.bmp\tOK\n" + odd + "c.bmp\tCannot read \"" + odd + "c.bmp\": Not a regular file.\n" + odd
             + kLongName + "\tCannot write \"" + odd + "Rot/R_" + kLongName.chopped(4)
             + ".bmp\": File name too long.\n",
         "Image Info: The folder \"{dir}/missing\" does not exist; it was passed over.\nImage Info: Cannot read \"" + odd
             + "c.bmp\": Not a regular file.\nImage Info: Cannot write \"" + odd + "Rot/R_" + kLongName.chopped(4)
             + ".bmp\": File name too long.\n",
         {"odd/a\tb\\c\nd.bmp"},
         kSaved},
        {"a name the options refuse", {"--process", "--green", "G:x", "{dir}/a"}, 2, "",
         "prismora: \"G:x\" is not a valid folder name: it holds \":\"\n" + kUsageHint, {}, {}},
        {"a name that puts the outputs among the sources", {"--process", "--red", ".", "{dir}/a"}, 2, "",
         "prismora: The Red Folder name \".\" cannot be used: the channel files would go into the source folder "
         "itself, where the next run would split them again\n" + kUsageHint, {}, {}},
        {"a value never swallows an option", {"--process", "--red", "R", "--green", "--verbose", "{dir}/a"}, 2, "",
         "prismora: --green needs a value, and \"--verbose\" is taken for an option (values may not begin with "
         "\"-\")\n" + kUsageHint, {}, {}},
        {"an unknown option", {"--process", "--names", "R", "G", "B", "{dir}/a"}, 2, "",
         "prismora: Unknown option 'names'.\n" + kUsageHint, {}, {}},
        {"folders without --process", {"{dir}/a"}, 2, "",
         "prismora: folders and the other options go with --process\n" + kUsageHint, {}, {}},
        {"no folder", {"--process"}, 3, "", "No Folders Added: No folders have been added for processing.\n", {}, {}},
        {"no bitmap", {"--process", "{dir}/empty"}, 3, "",
         "No Files Found: No bitmap files were found in the selected folders.\n", {}, {}},
        {"a missing folder is a problem where nothing else was found too", {"--process", "{dir}/empty", "{dir}/missing"},
         4, "",
         "Image Info: The folder \"{dir}/missing\" does not exist; it was passed over.\n"
         "No Files Found: No bitmap files were found in the selected folders.\n", {}, {}},
        {"a destination that cannot be written", {"--process", "{dir}/a", "{dir}/blocked"}, 1, "",
         "Processing Error: Cannot write \"{dir}/blocked/Rot/R_x.bmp\": Not a directory.\n", {"a/x.bmp", "a/y.bmp"}, kSaved},
        {"a list that cannot be written ends the run", {"--process", "--verbose", "{dir}/a"}, 1, "",
         "Processing Error: Cannot write to standard output: No space left on device.\n", {"a/x.bmp"}, kSaved,
         Case::FullDisk},
        {"a reader gone ends the run quietly", {"--process", "--verbose", "{dir}/a"}, 128 + SIGPIPE, "", "",
         {"a/x.bmp"}, kSaved, Case::CloseOutput},
        {"Ctrl+C abandons the file in progress", {"--process", "--verbose", "{dir}/big"}, 130, "{dir}/big/a.bmp\tOK\n",
         kStopped, {"big/a.bmp"}, kSaved, Case::Interrupt},
        {"SIGTERM abandons the file in progress", {"--process", "--verbose", "{dir}/big"}, 143,
         "{dir}/big/a.bmp\tOK\n", kStopped, {"big/a.bmp"}, kSaved, Case::Terminate},
        {"no thread to spare", {"--process", "--verbose", "{dir}/a"}, 0,
         "{dir}/a/x.bmp\tOK\n{dir}/a/y.bmp\tOK\n{dir}/a/z.bmp\tNot a 24 bit bitmap.\n", "", {"a/x.bmp", "a/y.bmp"},
         kSaved, Case::NoThreads},
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
        if (c.act == Case::FullDisk)
            child.setStandardOutputFile(QStringLiteral("/dev/full"));
        if (c.act == Case::NoThreads) { // as a user who may start no more processes, root being exempt
            // (and with no leak checker, whose own thread could not start either)
            const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
            env.insert(QStringLiteral("ASAN_OPTIONS"), asan + (asan.isEmpty() ? "" : ":") + QStringLiteral("detect_leaks=0"));
            child.setProcessEnvironment(env);
            for (QDirIterator it(dir.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                                 QDirIterator::Subdirectories);
                 it.hasNext();) {
                const QFileInfo entry = it.nextFileInfo();
                ::chmod(QFile::encodeName(entry.filePath()).constData(), entry.isDir() ? 0777 : 0666);
            }
            ::chmod(QFile::encodeName(dir.path()).constData(), 0777);
            child.setChildProcessModifier([] {
                const rlimit none{1, 1};
                if (!BecomeAnotherUser() || ::syscall(SYS_setrlimit, RLIMIT_NPROC, &none) != 0)
                    ::_exit(99);
            });
        }
        if (c.act == Case::CloseOutput) // a pipe whose reader has gone
            child.setChildProcessModifier([] {
                int ends[2];
                if (::syscall(SYS_pipe2, ends, 0) == 0 && ::syscall(SYS_close, ends[0]) == 0) // plain calls, as above
                    ::syscall(SYS_dup2, ends[1], STDOUT_FILENO);
            });
        QStringList args;
        for (const QString &arg : c.args)
            args.append(expand(arg));
        child.start(c.act == Case::NoThreads ? ReachableBinary() : QStringLiteral(PRISMORA_BINARY), args);
        ASSERT_TRUE(child.waitForStarted());
        QByteArray out;
        if (c.act == Case::Interrupt || c.act == Case::Terminate) {
            while (!out.contains('\n') && child.waitForReadyRead(30000))
                out += child.readAllStandardOutput();
            ASSERT_EQ(child.state(), QProcess::Running); // and so its id is not 0, the whole group
            ::kill(static_cast<pid_t>(child.processId()), c.act == Case::Interrupt ? SIGINT : SIGTERM);
        }
        ASSERT_TRUE(child.waitForFinished(60000));
        out += child.readAllStandardOutput();

        // Only a reader gone may end the program by a signal, SIGPIPE, as other tools end.
        EXPECT_EQ(child.exitStatus(), c.act == Case::CloseOutput ? QProcess::CrashExit : QProcess::NormalExit);
        EXPECT_EQ(child.exitStatus() == QProcess::CrashExit ? 128 + child.exitCode() : child.exitCode(), c.exitCode);
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

// Without arguments the program loads its window module and shows the
// window; here it meets another instance, as a second start from the desktop
// does, and ends at once. Without the module beside it, or installed, it says
// why it cannot show the window.
TEST(CommandLine, WithoutArgumentsTheWindowOpensFromItsModule)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(QFile::setPermissions(scratch.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QLockFile running(scratch.filePath(QStringLiteral("prismora.lock"))); // held by this live process
    ASSERT_TRUE(running.tryLock(0));
    const QString alone = scratch.filePath(QStringLiteral("alone/prismora"));
    ASSERT_TRUE(QDir(scratch.path()).mkpath(QStringLiteral("alone")));
    ASSERT_TRUE(QFile::copy(QStringLiteral(PRISMORA_BINARY), alone));
    for (const QString &program : {QStringLiteral(PRISMORA_BINARY), alone}) {
        SCOPED_TRACE(program.toStdString());
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), scratch.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), scratch.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        for (const char *name : {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY"}) // no bus of a desktop
            env.remove(QLatin1String(name));
        child.setProcessEnvironment(env);
        child.start(program, {});
        ASSERT_TRUE(child.waitForFinished(30000));
        const QString err = QString::fromUtf8(child.readAllStandardError());
        if (program == alone) {
            EXPECT_EQ(child.exitCode(), 1);
            EXPECT_TRUE(err.startsWith(QStringLiteral("prismora: cannot open the window: "))) << err.toStdString();
        } else {
            EXPECT_EQ(child.exitCode(), 0);
            EXPECT_EQ(err, QString());
        }
    }
}

// Outputs mirrored under an output root: sources that cannot be written, and
// the two errors of its own.
TEST(CommandLine, AnOutputRootMirrorsReadOnlySources)
{
    struct RootCase
    {
        const char *name;
        QStringList args; // "{dir}" stands for the scratch folder
        int exitCode;
        QString err;
        QStringList outputs; // below {dir}/out, from the sources below {dir}
    };
    const RootCase cases[] = {
        {"a read-only source, with its subfolders", {"--recursive", "--output", "{dir}/out", "{dir}/ro"}, 0, "",
         {"ro/Red/R_x.bmp:ro/x.bmp", "ro/Blue/B_x.bmp:ro/x.bmp", "ro/sub/Green/G_y.bmp:ro/sub/y.bmp"}},
        {"two folders of one last name", {"--output", "{dir}/out", "{dir}/ro", "{dir}/other/ro"}, 2,
         "prismora: \"{dir}/ro\" and \"{dir}/other/ro\" have the same last name, and --output would put the outputs "
         "of both into \"{dir}/out/ro\"\nTry 'prismora --help'.\n",
         {}},
        {"a root that cannot be made", {"--output", "{dir}/file/out", "{dir}/ro"}, 1,
         "Processing Error: Cannot create the folder \"{dir}/file/out\": Not a directory.\n", {}},
    };
    for (const RootCase &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir scratch;
        const QDir dir(scratch.path());
        ASSERT_TRUE(dir.mkpath(QStringLiteral("ro/sub")) && dir.mkpath(QStringLiteral("other/ro")));
        ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("ro/x.bmp")), MakeBitmap({.width = 5, .height = 3})));
        ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("ro/sub/y.bmp")), MakeBitmap({.width = 2, .height = 2})));
        ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("file")), "x"));
        // Sources no one may write, run as a user who is not root, whom nothing stops.
        ::chmod(QFile::encodeName(dir.path()).constData(), 0777);
        for (const char *folder : {"ro/sub", "ro"})
            ::chmod(QFile::encodeName(dir.filePath(QLatin1String(folder))).constData(), 0555);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        child.setProcessEnvironment(env);
        child.setChildProcessModifier([] {
            if (!BecomeAnotherUser())
                ::_exit(99);
        });
        QStringList args{QStringLiteral("--process")};
        for (const QString &arg : c.args)
            args.append(QString(arg).replace(QStringLiteral("{dir}"), dir.path()));
        child.start(ReachableBinary(), args);
        ASSERT_TRUE(child.waitForFinished(60000));
        EXPECT_EQ(child.exitCode(), c.exitCode);
        EXPECT_EQ(QString::fromUtf8(child.readAllStandardError()), QString(c.err).replace(QStringLiteral("{dir}"), dir.path()));
        QStringList expected{QStringLiteral("file"), QStringLiteral("ro/sub/y.bmp"), QStringLiteral("ro/x.bmp")};
        for (const QString &pair : c.outputs) {
            const QString output = QStringLiteral("out/") + pair.section(u':', 0, 0);
            EXPECT_EQ(ReadFile(dir.filePath(output)),
                      ReferenceChannelFiles(ReadFile(dir.filePath(pair.section(u':', 1)))).at(output[output.lastIndexOf(u'/') + 1].toLatin1()));
        }
        if (!c.outputs.isEmpty())
            for (const char *output : {"ro/Red/R_x.bmp", "ro/Green/G_x.bmp", "ro/Blue/B_x.bmp", "ro/sub/Red/R_y.bmp",
                                       "ro/sub/Green/G_y.bmp", "ro/sub/Blue/B_y.bmp"})
                expected.append(QStringLiteral("out/") + QLatin1String(output));
        expected.sort();
        EXPECT_EQ(filesBelow(dir), expected);
        ::chmod(QFile::encodeName(dir.filePath(QStringLiteral("ro"))).constData(), 0755);
        ::chmod(QFile::encodeName(dir.filePath(QStringLiteral("ro/sub"))).constData(), 0755);
    }
}

// The bench times the run a second time only where the first round made
// everything it wrote: what was there before is never taken away.
TEST(Bench, TimesTheRunAgainOnlyOverWhatItsFirstRoundMade)
{
    struct BenchCase
    {
        const char *name;
        QStringList args;   // "{dir}" stands for the scratch folder
        QStringList before; // files there before, below {dir}
        int rounds;
        QString outputs; // the folder below {dir} that the channel folders go into
    };
    const BenchCase cases[] = {
        {"nothing there before", {}, {}, 2, "s"},
        {"a destination folder with a file of its own", {}, {"s/Red/notes.txt"}, 2, "s"},
        {"an output there before", {}, {"s/Green/G_x.bmp"}, 1, "s"},
        {"the update rule, with an output there before", {"--update"}, {"s/Blue/B_x.bmp"}, 1, "s"},
        {"the update rule, with nothing there before", {"--update"}, {}, 2, "s"},
        {"an output root, not there yet", {"--output", "{dir}/out/deep"}, {}, 2, "out/deep/s"},
        {"an output root with an output there before", {"--output", "{dir}/out"}, {"out/s/Red/R_x.bmp"}, 1, "out/s"},
    };
    for (const BenchCase &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir scratch;
        const QDir dir(scratch.path());
        const QByteArray source = MakeBitmap({.width = 5, .height = 3});
        ASSERT_TRUE(dir.mkpath(QStringLiteral("s")) && WriteFile(dir.filePath(QStringLiteral("s/x.bmp")), source));
        QStringList expected{QStringLiteral("s/x.bmp")};
        for (const QString &file : c.before) {
            ASSERT_TRUE(dir.mkpath(QFileInfo(file).path()) && WriteFile(dir.filePath(file), "mine"));
            expected.append(file);
        }
        // Every folder there before is watched: each name the bench makes in
        // one is made once a round and taken away between them, but for the
        // run's own probes.
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        QHash<int, QString> watched;
        const auto watchFolder = [&](const QString &folder) {
            watched.insert(::inotify_add_watch(watch, QFile::encodeName(folder).constData(), IN_CREATE | IN_DELETE),
                           dir.relativeFilePath(folder));
        };
        watchFolder(dir.path());
        for (QDirIterator it(dir.path(), QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); it.hasNext();)
            watchFolder(it.next());
        QProcess child;
        QStringList args;
        for (const QString &arg : c.args + QStringList{QStringLiteral("{dir}/s")})
            args.append(QString(arg).replace(QStringLiteral("{dir}"), dir.path()));
        child.start(QStringLiteral(PRISMORA_BENCH), args);
        ASSERT_TRUE(child.waitForFinished(60000));
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), 0);
        const QByteArray out = child.readAllStandardOutput();
        EXPECT_TRUE(out.contains(" rounds=" + QByteArray::number(c.rounds) + "\n")) << out.constData();
        QHash<QString, std::pair<int, int>> events; // made, taken away
        alignas(inotify_event) char buffer[64 << 10];
        for (ssize_t got; (got = ::read(watch, buffer, sizeof buffer)) > 0;)
            for (const char *at = buffer; at < buffer + got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                const QString path = QDir::cleanPath(watched.value(event->wd) + QLatin1Char('/') + QFile::decodeName(event->name));
                (event->mask & IN_CREATE ? events[path].first : events[path].second) += 1;
                at += sizeof(inotify_event) + event->len;
            }
        ::close(watch);
        for (auto it = events.cbegin(); it != events.cend(); ++it)
            if (!it.key().contains(QLatin1String(".prismora"))) {
                EXPECT_EQ(it.value(), std::make_pair(c.rounds, c.rounds - 1)) << qPrintable(it.key());
            }
        for (const QString &user : c.before) {
            if (!user.endsWith(QLatin1String("_x.bmp"))) { // an output the run replaces
                EXPECT_EQ(ReadFile(dir.filePath(user)), "mine") << qPrintable(user);
            }
        }
        for (const char *output : {"Red/R_x.bmp", "Green/G_x.bmp", "Blue/B_x.bmp"}) {
            const QString path = c.outputs + QLatin1Char('/') + QLatin1String(output);
            EXPECT_EQ(ReadFile(dir.filePath(path)), ReferenceChannelFiles(source).at(output[0])) << qPrintable(path);
            if (!expected.contains(path))
                expected.append(path);
        }
        expected.sort();
        EXPECT_EQ(filesBelow(dir), expected);
    }
}

// A watch splits each file once it is complete, and again when it changes;
// a stop ends it in time. Every wait is for a line of its --verbose list.
TEST(CommandLine, AWatchSplitsWhatArrivesOnceItIsComplete)
{
    using namespace std::chrono;
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        QTemporaryDir scratch;
        const QDir dir(scratch.path());
        ASSERT_TRUE(dir.mkpath(QStringLiteral("w")));
        const QString w = dir.filePath(QStringLiteral("w"));
        ASSERT_TRUE(WriteFile(w + QStringLiteral("/a.bmp"), MakeBitmap({})));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        child.setProcessEnvironment(env);
        child.start(QStringLiteral(PRISMORA_BINARY), {QStringLiteral("--process"), QStringLiteral("--watch"),
                                                      QStringLiteral("--verbose"), QStringLiteral("--jobs"),
                                                      QStringLiteral("2"), w});
        QString lines;
        const auto awaitLine = [&](const QString &name) {
            const QString line = w + u'/' + name + QStringLiteral("\tOK\n");
            while (!lines.contains(line) && child.waitForReadyRead(30000))
                lines += QString::fromUtf8(child.readAllStandardOutput());
            lines += QString::fromUtf8(child.readAllStandardOutput());
            return lines.contains(line);
        };
        const auto expectSplit = [&](const QString &name) {
            const auto reference = ReferenceChannelFiles(ReadFile(w + u'/' + name));
            EXPECT_EQ(ReadFile(w + QStringLiteral("/Red/R_") + name), reference.at('R')) << name.toStdString();
            EXPECT_EQ(ReadFile(w + QStringLiteral("/Blue/B_") + name), reference.at('B')) << name.toStdString();
        };
        ASSERT_TRUE(awaitLine(QStringLiteral("a.bmp"))); // the first pass is over: the folder is watched
        // The command line starts without the window's toolkit.
        const QByteArray maps = ReadFile(QStringLiteral("/proc/%1/maps").arg(child.processId()));
        EXPECT_TRUE(maps.contains("libQt6Core") && !maps.contains("libQt6Gui")) << maps.toStdString();
        if (signal == SIGINT) {
            // Written in two halves a second apart: nothing before its close.
            const QByteArray bytes = MakeBitmap({.width = 300, .height = 200, .seed = 3});
            QFile half(w + QStringLiteral("/h.bmp"));
            ASSERT_TRUE(half.open(QIODevice::WriteOnly));
            ASSERT_EQ(half.write(bytes.left(bytes.size() / 2)), bytes.size() / 2);
            ASSERT_TRUE(half.flush());
            child.waitForReadyRead(1000);
            lines += QString::fromUtf8(child.readAllStandardOutput());
            EXPECT_FALSE(lines.contains(QStringLiteral("h.bmp")));
            half.write(bytes.mid(bytes.size() / 2));
            half.close();
            ASSERT_TRUE(awaitLine(QStringLiteral("h.bmp")));
            expectSplit(QStringLiteral("h.bmp"));
            // Moved in whole.
            ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("m.bmp")), MakeBitmap({.width = 7, .height = 5})));
            ASSERT_TRUE(QFile::rename(dir.filePath(QStringLiteral("m.bmp")), w + QStringLiteral("/m.bmp")));
            ASSERT_TRUE(awaitLine(QStringLiteral("m.bmp")));
            expectSplit(QStringLiteral("m.bmp"));
            // Rewritten: split again.
            ASSERT_TRUE(WriteFile(w + QStringLiteral("/h.bmp"), MakeBitmap({.width = 4, .height = 4, .seed = 9})));
            ASSERT_TRUE(awaitLine(QStringLiteral("m.bmp\tOK\n") + w + QStringLiteral("/h.bmp")));
            expectSplit(QStringLiteral("h.bmp"));
            EXPECT_EQ(lines, QStringLiteral("%1/a.bmp\tOK\n%1/h.bmp\tOK\n%1/m.bmp\tOK\n%1/h.bmp\tOK\n").arg(w));
        }
        ::kill(static_cast<pid_t>(child.processId()), signal);
        const auto sent = steady_clock::now();
        ASSERT_TRUE(child.waitForFinished(10000));
        // Woken at once, not ended by the bound on a run that does not end (3.5 s).
        EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - sent).count(), 3000);
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), 128 + signal);
    }
}

// Whatever the disk does, a first stop ends the program within five seconds
// and a second within one: here every call on an output file stalls for 30 s.
TEST(CommandLine, AStopEndsTheProgramInTimeWhateverTheDiskDoes)
{
    using namespace std::chrono;
    QTemporaryDir dir;
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("a.bmp")), MakeBitmap({})));
    for (const bool twice : {false, true}) {
        SCOPED_TRACE(twice ? "a second Ctrl+C" : "one Ctrl+C");
        int stalled[2];
        ASSERT_EQ(::pipe(stalled), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            SetFault([fd = stalled[1]](FaultStep, std::size_t) {
                if (::write(fd, "s", 1) == 1)
                    std::this_thread::sleep_for(seconds(30));
                return 0;
            });
            ::_exit(RunCommandLine({QStringLiteral("prismora"), QStringLiteral("--process"), dir.path()}));
        }
        char byte = 0;
        ASSERT_EQ(::read(stalled[0], &byte, 1), 1);
        ::kill(pid, SIGINT);
        if (twice) {
            std::this_thread::sleep_for(milliseconds(100));
            ::kill(pid, SIGINT);
        }
        const auto sent = steady_clock::now();
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0 && steady_clock::now() - sent < seconds(40))
            std::this_thread::sleep_for(milliseconds(10));
        EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - sent).count(), twice ? 1000 : 5000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
        ::close(stalled[0]);
        ::close(stalled[1]);
    }
}

} // namespace
