#include "app/commandline.h"

#include "batch/batchrun.h"
#include "batch/headless.h"
#include "filesys/paths.h"
#include "platform/fileio.h"
#include "platform/settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

enum ExitCode {
    kCompleted = 0,
    kFailed = 1,
    kUsage = 2,
    kNothingToDo = 3,
    kInterrupted = 130, // 128 + SIGINT, as shells report it
};

// Kept in step with the README and the manual page.
constexpr char kHelp[] = R"(Usage: prismora
       prismora --process [--names RED GREEN BLUE] [--verbose] FOLDER...
       prismora --help | --version

Splits 24-bit BMP files into one greyscale file per colour channel.
Without arguments, opens the window.

  --process      Split every 24-bit BMP file directly inside each FOLDER into
                 R_, G_ and B_ files in its red, green and blue destination
                 subfolders, without a window or a display. Each message goes
                 to standard error as one line, TITLE: TEXT; a question is
                 answered No. On a terminal, one progress line shows the share
                 of all files, the share of this folder and the file being
                 split.
  --names RED GREEN BLUE
                 Name the destination subfolders, instead of the names saved
                 in the window's options (Red, Green and Blue at first). The
                 characters \ / : * ? " < > | are refused.
  --verbose      Print one line per file on standard output: its path, a tab,
                 and OK or the reason it was not split.
  -h, --help     Show this help and exit.
  --version      Show the version and exit.

Exit status:
  0    the run completed
  1    the run ended on an error
  2    usage error
  3    no folder was given, or no bitmap file was found
  130  interrupted by Ctrl+C or SIGTERM; the file in progress was abandoned
)";

int usageError(const QString &text)
{
    std::fprintf(stderr, "prismora: %s\nTry 'prismora --help'.\n", qPrintable(text));
    return kUsage;
}

// Takes "--names RED GREEN BLUE" out of `args`: the parser knows options of
// one value only. False when fewer than three names follow.
bool takeNames(QStringList &args, QStringList *names)
{
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--"))
            break;
        if (args[i] != QLatin1String("--names"))
            continue;
        if (i + 3 >= args.size())
            return false;
        *names = args.mid(i + 1, 3);
        args.remove(i, 4);
        --i;
    }
    return true;
}

// Ctrl+C and SIGTERM are taken by one thread that waits for them, so that the
// run stops where it is safe to; a second one ends the program at once.
class StopSignals
{
public:
    // Before any other thread starts: threads inherit the blocked set.
    StopSignals()
    {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
    }
    ~StopSignals()
    {
        if (!m_thread.joinable())
            return;
        m_done = true;
        pthread_kill(m_thread.native_handle(), SIGTERM);
        m_thread.join();
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // Signals from now on stop `run`, until unwatch(); call that before the
    // run goes away.
    void watch(BatchRun &run)
    {
        {
            const std::lock_guard lock(m_lock);
            m_run = &run;
        }
        if (m_thread.joinable())
            return;
        m_thread = std::thread([this] {
            int number = 0;
            while (sigwait(&m_set, &number) == 0 && !m_done) {
                const std::lock_guard lock(m_lock);
                const bool again = m_received.exchange(true);
                if (again) { // no file left half in place, nor a temporary one
                    if (m_run)
                        m_run->stopAndSettle();
                    AtomicOutputFile::closeAll();
                    ::_exit(kInterrupted);
                }
                if (m_run)
                    m_run->requestStop();
            }
        });
    }
    void unwatch()
    {
        const std::lock_guard lock(m_lock);
        m_run = nullptr;
    }
    bool received() const { return m_received; }

private:
    sigset_t m_set;
    std::thread m_thread;
    std::mutex m_lock;
    BatchRun *m_run = nullptr; // guarded by m_lock
    std::atomic<bool> m_done = false;
    std::atomic<bool> m_received = false;
};

int runProcess(StopSignals &stop, const QStringList &folders, QStringList names, bool verbose)
{
    const bool fromOptions = names.isEmpty();
    if (fromOptions) {
        const auto saved = [](const char *key, const char *name) {
            return GetSetting(QStringLiteral("Main"), QLatin1String(key), QLatin1String(name));
        };
        names = {saved("RedDir", "Red"), saved("GreenDir", "Green"), saved("BlueDir", "Blue")};
    }
    for (const QString &name : names) {
        const QString bad = CheckFolderName(name);
        if (bad != QLatin1String("OK"))
            return usageError(QStringLiteral("\"%1\"%2 is not a valid folder name: it holds \"%3\"")
                                  .arg(name, fromOptions ? QStringLiteral(" (in the saved options)") : QString(), bad));
    }

    ConsolePlatform console;
    HeadlessWindow window(names, folders);
    if (::isatty(STDERR_FILENO))
        window.showProgressOn(&console);
    window.listFileResults(verbose);
    BatchRun run(window, console);
    stop.watch(run);
    const struct Unwatch
    {
        StopSignals &stop;
        ~Unwatch() { stop.unwatch(); }
    } unwatch{stop};
    const BatchOutcome outcome = run.run();
    console.clearProgress();

    if (outcome == BatchOutcome::Failed)
        return kFailed;
    if (outcome == BatchOutcome::Stopped || stop.received())
        return kInterrupted;
    if (outcome == BatchOutcome::NoFolders || outcome == BatchOutcome::NoFiles)
        return kNothingToDo;
    return kCompleted;
}

} // namespace

int RunCommandLine(int argc, char *argv[])
{
    StopSignals stop;
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Prismora"));
    QCoreApplication::setApplicationName(QStringLiteral("Prismora"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PRISMORA_VERSION_TEXT));

    const QString namesUsage = QStringLiteral("--names takes three folder names: --names RED GREEN BLUE");
    QStringList args = QCoreApplication::arguments();
    QStringList names;
    if (!takeNames(args, &names))
        return usageError(namesUsage);

    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption process(QStringLiteral("process"));
    const QCommandLineOption verbose(QStringLiteral("verbose"));
    // Only seen here when written as --names=VALUE, which cannot carry three names.
    const QCommandLineOption namesWithValue(QStringLiteral("names"), QString(), QStringLiteral("names"));
    parser.addOptions({help, version, process, verbose, namesWithValue});
    if (!parser.parse(args))
        return usageError(parser.errorText());
    if (parser.isSet(namesWithValue))
        return usageError(namesUsage);

    if (parser.isSet(help)) {
        std::fputs(kHelp, stdout);
        return kCompleted;
    }
    if (parser.isSet(version)) {
        std::printf("prismora %s\n", PRISMORA_VERSION_TEXT);
        return kCompleted;
    }
    if (!parser.isSet(process))
        return usageError(QStringLiteral("folders, --names and --verbose go with --process"));
    return runProcess(stop, parser.positionalArguments(), names, parser.isSet(verbose));
}
