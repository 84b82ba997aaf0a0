#include "app/commandline.h"

#include "batch/batchrun.h"
#include "batch/headless.h"
#include "batch/runoptions.h"
#include "batch/watch.h"
#include "platform/fileio.h"
#include "platform/settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <system_error>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

enum ExitCode {
    kCompleted = 0,
    kFailed = 1,
    kUsage = 2,
    kNothingToDo = 3,
    kProblems = 4,
};

// A stop ends the program within five seconds, a second one within one,
// whatever the file system does meanwhile.
constexpr auto kStopWait = 3500ms;   // for the run to end by itself
constexpr auto kStopSettle = 1000ms; // then for its outputs being put in place
constexpr auto kSecondStopSettle = 800ms;

// Kept in step with the README and the manual page; the install test compares them.
constexpr std::pair<int, const char *> kExitCodes[] = {
    {kCompleted, "the run completed"},
    {kFailed, "the run ended on an error, or standard output could not be written"},
    {kUsage, "usage error"},
    {kNothingToDo, "no folder was given, or no bitmap file was found"},
    {kProblems, "the run completed, but some sources were not split because of a problem (an Image Info line "
                "names each), or a folder given does not exist"},
    {128 + SIGINT, "interrupted by Ctrl+C; the files not yet in place were abandoned"},
    {128 + SIGTERM, "ended by SIGTERM; the files not yet in place were abandoned"},
};

int usageError(const QString &text)
{
    std::fprintf(stderr, "prismora: %s\nTry 'prismora --help'.\n", qPrintable(text));
    return kUsage;
}

// `text` broken into lines of at most `width` characters, each after `indent`
// blanks but the first.
QString wrapped(const QString &text, int indent, int width)
{
    QString out, line;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > width) {
            out += line + QLatin1Char('\n') + QString(indent, QLatin1Char(' '));
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return out + line;
}

// The help, its options taken from the parser's own list.
QString helpText(const QList<QCommandLineOption> &options)
{
    constexpr int kColumn = 18;
    QString text = QStringLiteral(
        "Usage: prismora\n"
        "       prismora --process [--red NAME] [--green NAME] [--blue NAME] [--jobs N]\n"
        "                [--recursive] [--update] [--output DIR] [--watch] [--verbose]\n"
        "                [--] FOLDER...\n"
        "       prismora --help | --version\n\n"
        "Splits 24-bit BMP files into one greyscale file per colour channel.\n"
        "Without arguments, opens the window.\n\nOptions:\n");
    for (const QCommandLineOption &option : options) {
        QStringList names;
        for (const QString &name : option.names())
            names.append((name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name);
        QString head = QStringLiteral("  ") + names.join(QStringLiteral(", "));
        if (!option.valueName().isEmpty())
            head += QLatin1Char(' ') + option.valueName();
        head = head.size() < kColumn ? head.leftJustified(kColumn) : head + QLatin1Char('\n') + QString(kColumn, ' ');
        text += head + wrapped(option.description(), kColumn, 79) + QLatin1Char('\n');
    }
    text += QStringLiteral("\nA destination NAME may not be empty, \".\" or \"..\", begin with \"-\", or hold any\n"
                           "of \\ / : * ? \" < > |. A FOLDER that begins with \"-\" goes after \"--\".\n"
                           "\nExit status:\n");
    for (const auto &[code, meaning] : kExitCodes)
        text += QStringLiteral("  %1 ").arg(code, -4) + wrapped(QLatin1String(meaning), 7, 79) + QLatin1Char('\n');
    return text;
}

// Standard output could not be written: an error to say so, or, when its
// reader has gone (a pipe into "head"), the quiet end other tools have there.
int outputFailed(int error)
{
    if (error == EPIPE) {
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
    }
    std::fprintf(stderr, "Processing Error: Cannot write to standard output: %s.\n", qPrintable(SystemErrorText(error)));
    return kFailed;
}

int endWithOutput(int code)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return code;
    return outputFailed(errno != 0 ? errno : EIO);
}

// The line a stop leaves on standard error, whichever way the program ends.
// Written with one plain write, and only should standard error take it at
// once: a program ending on a stop never waits for a paused terminal or a
// full pipe, nor for the lock of another thread's message.
void reportStop(int filesPlaced)
{
    char line[256];
    const int n = std::snprintf(line, sizeof line,
                                "%sStopped: %d %s put in place; the files in progress were abandoned and their older "
                                "outputs left untouched.\n",
                                ::isatty(STDERR_FILENO) ? "\r\033[K" : "", filesPlaced,
                                filesPlaced == 1 ? "file was" : "files were");
    pollfd ready{STDERR_FILENO, POLLOUT, 0};
    if (n > 0 && ::poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0)
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, static_cast<std::size_t>(std::min(n, 255)));
}

// Where no thread can be started to wait for the signals, a handler takes
// them: it can only ask the run to stop, and the program ends at once on a
// second signal, or five seconds after the first.
std::atomic<BatchRun *> g_signalledRun = nullptr;
volatile std::sig_atomic_t g_firstSignal = 0;
std::atomic<int> g_stopFd = -1; // written on a stop, to wake a watch

// Wakes whatever polls `fd`; safe in a signal handler.
void wakeStopFd(int fd)
{
    const std::uint64_t one = 1;
    if (fd >= 0 && ::write(fd, &one, sizeof one) < 0) {
        // Already awake: the counter is full.
    }
}

extern "C" void onStopSignal(int number)
{
    if (g_firstSignal != 0)
        ::_exit(128 + g_firstSignal);
    g_firstSignal = number;
    if (BatchRun *run = g_signalledRun.load())
        run->requestStop(); // sets a lock-free flag: safe in a handler
    wakeStopFd(g_stopFd.load());
    ::alarm(5);
}

extern "C" void onStopTimeout(int)
{
    ::_exit(128 + g_firstSignal);
}

// Ctrl+C and SIGTERM are taken by one thread that waits for them, so that the
// run stops where it is safe to. Should the run not have ended a few seconds
// later, because a file system stalls, or should a second signal come, the
// program ends at once, leaving nothing half in place.
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
        g_signalledRun = &run;
        if (m_thread.joinable() || m_handled)
            return;
        try {
            m_thread = std::thread([this] { serve(); });
        } catch (const std::system_error &) { // no thread to spare: the process may start no more
            handleInThisThread();
        }
    }
    // A stop also makes `fd` readable, for a loop that waits on it.
    void wakeOnStop(int fd) { g_stopFd = fd; }
    void unwatch()
    {
        g_signalledRun = nullptr;
        const std::lock_guard lock(m_lock);
        m_run = nullptr;
    }
    // 128 and the number of the first signal, or 0.
    int exitCode() const { return m_handled ? (g_firstSignal != 0 ? 128 + g_firstSignal : 0) : m_code.load(); }

private:
    void handleInThisThread()
    {
        struct sigaction action{};
        action.sa_handler = onStopSignal;
        action.sa_flags = SA_RESTART; // a write to standard output the signal meets goes on
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        action.sa_handler = onStopTimeout;
        sigaction(SIGALRM, &action, nullptr);
        m_handled = true;
        pthread_sigmask(SIG_UNBLOCK, &m_set, nullptr);
    }

    [[noreturn]] void settleAndExit(int code, std::chrono::milliseconds budget)
    {
        SettleForExit(m_run, Clock::now() + budget);
        reportStop(m_run ? m_run->filesPlaced() : 0);
        ::_exit(code);
    }

    void serve()
    {
        std::optional<Clock::time_point> firstAt;
        for (;;) {
            int number = 0;
            if (!firstAt) {
                number = sigwaitinfo(&m_set, nullptr);
            } else {
                const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*firstAt + kStopWait - Clock::now());
                const timespec timeout{static_cast<time_t>(std::max<std::int64_t>(left.count(), 0) / 1000000000),
                                       static_cast<long>(std::max<std::int64_t>(left.count(), 0) % 1000000000)};
                number = sigtimedwait(&m_set, nullptr, &timeout);
            }
            if (m_done)
                return;
            if (number < 0 && errno == EINTR)
                continue;
            const std::lock_guard lock(m_lock);
            if (number < 0) // the run has not ended in time
                settleAndExit(m_code, kStopSettle);
            if (firstAt) // asked twice
                settleAndExit(128 + number, kSecondStopSettle);
            firstAt = Clock::now();
            m_code = 128 + number;
            if (m_run)
                m_run->requestStop();
            wakeStopFd(g_stopFd.load());
        }
    }

    sigset_t m_set;
    std::thread m_thread;
    bool m_handled = false; // by onStopSignal(), for want of a thread
    std::mutex m_lock;
    BatchRun *m_run = nullptr; // guarded by m_lock
    std::atomic<bool> m_done = false;
    std::atomic<int> m_code = 0;
};

// Folders that are not there are named, and the others run.
int missingFolders(const QStringList &folders, Platform &platform)
{
    int missing = 0;
    for (const QString &folder : folders) {
        const QFileInfo info(folder);
        if (info.isDir())
            continue;
        ++missing;
        ShowNotice(platform,
                   info.exists() ? QStringLiteral("\"%1\" is not a folder; it was passed over.").arg(folder)
                                 : QStringLiteral("The folder \"%1\" does not exist; it was passed over.").arg(folder),
                   QStringLiteral("Image Info"));
    }
    return missing;
}

int runProcess(StopSignals &stop, const QStringList &folders, const QStringList &names, int jobs,
               const RunSettings &settings, bool watch, bool verbose)
{
    ConsolePlatform console;
    HeadlessWindow window(names, folders);
    if (::isatty(STDERR_FILENO))
        window.showProgressOn(&console);
    BatchRun run(window, console);
    run.setThreads(RunOptions::threadsFor(jobs));
    run.setSettings(settings);
    std::atomic<int> outputError = 0;
    window.listFileResults(verbose, [&](int error) {
        outputError = error;
        run.requestStop(); // the list the run owes its caller is lost
    });
    const int missing = missingFolders(folders, console);
    if (watch) {
        const int stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stopFd < 0) {
            std::fprintf(stderr, "Processing Error: Cannot watch the folders: %s.\n",
                         qPrintable(SystemErrorText(errno)));
            return kFailed;
        }
        FolderWatch watcher(run, console, settings, names, folders, stopFd, [&console] { console.clearProgress(); });
        window.observeResults([&watcher](const QString &path, const QString &result) { watcher.fileDone(path, result); });
        stop.wakeOnStop(stopFd);
        stop.watch(run);
        const BatchOutcome outcome = watcher.run();
        stop.unwatch();
        stop.wakeOnStop(-1);
        ::close(stopFd);
        if (outputError != 0)
            return outputFailed(outputError);
        if (outcome == BatchOutcome::Failed)
            return kFailed;
        reportStop(watcher.filesPlaced());
        return stop.exitCode() != 0 ? stop.exitCode() : kFailed;
    }
    stop.watch(run);
    const BatchOutcome outcome = run.run();
    stop.unwatch();
    console.clearProgress();

    if (outputError != 0)
        return outputFailed(outputError);
    if (outcome == BatchOutcome::Failed)
        return kFailed;
    if (stop.exitCode() != 0) {
        reportStop(run.filesPlaced());
        return stop.exitCode();
    }
    if (outcome == BatchOutcome::NoFolders || outcome == BatchOutcome::NoFiles)
        return missing > 0 ? kProblems : kNothingToDo;
    if (outcome == BatchOutcome::InvalidName)
        return kUsage;
    return missing > 0 || run.problems() > 0 ? kProblems : kCompleted;
}

} // namespace

int RunCommandLine(const QStringList &arguments)
{
    StopSignals stop;
    // A reader that goes away must show as a failed write, not kill a run mid-file.
    std::signal(SIGPIPE, SIG_IGN);

    QCommandLineParser parser;
    const QCommandLineOption process(
        QStringLiteral("process"),
        QStringLiteral("Split every 24-bit BMP file directly inside each FOLDER into R_, G_ and B_ files in its red, "
                       "green and blue destination subfolders, without a window or a display. Each message goes to "
                       "standard error as one line, TITLE: TEXT; a question is answered No. On a terminal, one "
                       "progress line shows the share of all files, the share of this folder and the file being "
                       "split."));
    const QCommandLineOption verbose(
        QStringLiteral("verbose"),
        QStringLiteral("Print one line per file on standard output: its path, a tab, and OK or the reason it was not "
                       "split. Tabs, line breaks and backslashes in them are written \\t, \\n and \\\\."));
    const QCommandLineOption watch(
        QStringLiteral("watch"),
        QStringLiteral("After a first pass as with --update, keep watching each FOLDER (with --recursive its "
                       "subfolders too, new ones included) and split every BMP file as soon as it is closed after "
                       "writing or moved in, and again whenever it changes; a rescan once a minute finds what the "
                       "system does not report. Ends on Ctrl+C or SIGTERM, or with status 1 on a destination "
                       "error."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version and exit."));
    const RunOptions runOptions;
    QList<QCommandLineOption> options{process};
    options += runOptions.options();
    options += {watch, verbose, help, version};
    parser.addOptions(options);
    if (!parser.parse(arguments))
        return usageError(parser.errorText());

    if (parser.isSet(help)) {
        std::fputs(qPrintable(helpText(options)), stdout);
        return endWithOutput(kCompleted);
    }
    if (parser.isSet(version)) {
        std::printf("prismora %s\n", PRISMORA_VERSION_TEXT);
        return endWithOutput(kCompleted);
    }
    if (!parser.isSet(process))
        return usageError(QStringLiteral("folders and the other options go with --process"));

    const auto saved = [](const char *key, const char *name) {
        return GetSetting(QStringLiteral("Main"), QLatin1String(key), QLatin1String(name));
    };
    QStringList names;
    int jobs = 0;
    QString error;
    if (!runOptions.read(parser, {saved("RedDir", "Red"), saved("GreenDir", "Green"), saved("BlueDir", "Blue")},
                         QStringLiteral(" (in the saved options)"), &names, &jobs, &error))
        return usageError(error);
    const QStringList folders = parser.positionalArguments();
    RunSettings settings;
    if (!runOptions.readSettings(parser, folders, &settings, &error))
        return usageError(error);
    return runProcess(stop, folders, names, jobs, settings, parser.isSet(watch), parser.isSet(verbose));
}
