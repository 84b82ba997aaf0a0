#include "batch/batchrun.h"

#include "bitmap/splitter.h"
#include "filesys/filesearch.h"
#include "filesys/paths.h"
#include "platform/fileio.h"
#include "platform/platform.h"
#include "platform/workers.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#include <QFile>

#include <algorithm>
#include <climits>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Thrown through the run's own frames, never the splitter's, to abandon the
// files not yet in place when the run must stop.
struct StopRequested
{
};

int percent(qsizetype part, qsizetype whole)
{
    // Computed as a fraction first and then scaled, and cut to its integer part.
    return static_cast<int>(static_cast<double>(part) / static_cast<double>(whole) * 100.0);
}

// The bands of one file's outputs, written by every thread that joins: each
// claims the next band until none is left, so that a large image's bands go
// to whichever threads are free. The thread that settles the last band,
// written or passed over after a stop or a failure, calls `done`; no thread
// touches the writer after that. Neither a stop nor a failure is thrown
// across the threads: they halt the bands, and `done` finds them here.
class BandCrew
{
public:
    using Done = std::function<void(const BandCrew &)>;

    BandCrew(ChannelWriter &writer, std::function<bool()> unwanted, Done done)
        : m_writer(writer), m_bands(writer.bands()), m_unwanted(std::move(unwanted)), m_done(std::move(done))
    {
    }

    // Begins on this thread, with up to `helpers` threads of `workers`
    // joining as they come free: they are queued behind the tasks queued
    // already, and a helper that finds no band left ends at once. A helper
    // holds the crew only while it works: one still queued once every band
    // is claimed keeps nothing of the file (its source open, its outputs'
    // room) alive.
    static void start(const std::shared_ptr<BandCrew> &crew, Workers &workers, int helpers)
    {
        if (crew->m_bands <= 0) {
            crew->m_done(*crew);
            return;
        }
        try {
            for (std::int64_t i = 0; i < std::min<std::int64_t>(helpers, crew->m_bands - 1); ++i)
                workers.post([weak = std::weak_ptr(crew)] {
                    if (const auto held = weak.lock())
                        held->work();
                });
        } catch (const std::exception &) { // helpers only speed it up: this thread writes whatever is left
        }
        crew->work();
    }

    // Every band was written.
    bool complete() const { return !m_halted; }
    // Throws the first failure that halted the bands, if one did.
    void rethrowFailure() const
    {
        if (m_failure)
            throw ProcessingError(*m_failure);
        if (m_other)
            std::rethrow_exception(m_other);
    }

private:
    void work()
    {
        for (std::int64_t k; (k = m_next++) < m_bands;) {
            if (!m_halted && m_unwanted())
                m_halted = true;
            if (!m_halted)
                write(k);
            // The last to settle sees every other band's writes and failures.
            if (++m_settled == m_bands)
                m_done(*this);
        }
    }

    void write(std::int64_t k)
    {
        try {
            m_writer.write(k);
        } catch (const ProcessingError &error) {
            const std::lock_guard guard(m_lock);
            if (!m_failure && !m_other)
                m_failure = error;
            m_halted = true;
        } catch (...) { // no memory, say
            const std::lock_guard guard(m_lock);
            if (!m_failure && !m_other)
                m_other = std::current_exception();
            m_halted = true;
        }
    }

    ChannelWriter &m_writer;
    const std::int64_t m_bands;
    const std::function<bool()> m_unwanted; // asked before each band
    const Done m_done;
    std::atomic<std::int64_t> m_next = 0;    // the next band to claim
    std::atomic<std::int64_t> m_settled = 0; // bands written or passed over
    std::atomic<bool> m_halted = false;      // by a stop or a failure
    std::mutex m_lock;                       // guards what follows
    std::optional<ProcessingError> m_failure; // the first
    std::exception_ptr m_other;               // or anything else a band threw
};

// The folder that the destination folders of `folder` go into.
const QString &destinationOf(const FolderFiles &folder)
{
    return folder.destination.isEmpty() ? folder.folderPath : folder.destination;
}

// A run is batch work: for as long as it lasts, its thread and the threads it
// starts (which take its policy) never preempt one another on waking. The
// run's thread, woken for each file done, then places it when a core comes
// free instead of interrupting a writer, and places the files done meanwhile
// with it. A window's thread still preempts them all. Only a thread of the
// normal policy is changed, and it gets its own back after the run.
class BatchScheduling
{
public:
    BatchScheduling() : m_policy(::sched_getscheduler(0))
    {
        const sched_param none{};
        m_changed = m_policy == SCHED_OTHER && ::sched_setscheduler(0, SCHED_BATCH, &none) == 0;
    }
    ~BatchScheduling()
    {
        const sched_param none{};
        if (m_changed)
            ::sched_setscheduler(0, m_policy, &none);
    }
    BatchScheduling(const BatchScheduling &) = delete;
    BatchScheduling &operator=(const BatchScheduling &) = delete;

private:
    const int m_policy;
    bool m_changed = false;
};

// One source of the run, in list order.
struct Entry
{
    const FolderFiles *folder;
    qsizetype folderNumber;
    qsizetype index;
    const QString &path() const { return folder->filePaths[index]; }
    qint64 foundSize() const { return folder->fileSizes[index]; }
};

} // namespace

// The destination folder names, red, green, blue, and their spelling.
struct BatchRun::Names : ChannelFolders
{
    using ChannelFolders::ChannelFolders;
};

// Sources split ahead of their turn, in list order, each by one of the
// run's threads into unnamed files. At its turn a file's split is used only if
// its source is still as it was opened; otherwise, and after any failure, the
// file is split again in its turn, as a run of one file at a time would.
class BatchRun::Ahead
{
public:
    // With one thread, files are split one at a time on the run's own.
    Ahead(BatchRun &run, int threads, const std::vector<Entry> &files, const Names &names)
        : m_run(run), m_files(files), m_names(names), m_limit(threads > 1 ? inFlightLimit(threads) : 0),
          m_byteLimit(kBytesPerCore * coresOf(threads)), m_workers(threads > 1 ? threads : 0)
    {
    }

    // Every file not yet in place is abandoned; the threads end with this.
    ~Ahead()
    {
        for (const auto &job : m_jobs)
            abandon(*job);
    }

    Workers &workers() { return m_workers; }

    struct Job
    {
        enum State { Queued, Running, Done, Cancelled };
        std::atomic<int> state = Queued;
        std::atomic<bool> abandoned = false;
        qsizetype position = 0;
        QStringView key; // its name but the extension: no two files in flight share outputs
        std::optional<SplitPlan> plan;
        std::optional<ChannelWriter> written; // all written, ready to be put in place
        bool failed = false;
        bool lackOfSpace = false;
        bool upToDate = false; // passed over by the update rule
    };

    // Starts the files after `turn` that may be split ahead: up to a few per
    // thread, none in a folder whose destination folders are not there yet
    // (they are made in the folder's turn), and none
    // sharing outputs with a file in flight. Never after a disk filled up.
    void fill(qsizetype turn)
    {
        if (m_limit == 0 || m_workers.threads() == 0 || m_spaceFailedAt != kNone)
            return;
        // Topped up in batches, so that a thread gone idle is woken once for
        // several files, not once per file.
        if (std::ssize(m_jobs) > m_limit / 2)
            return;
        // The file whose turn it is may be split here and now, not ahead.
        const QStringView current = keyOf(m_files[static_cast<std::size_t>(turn)]);
        for (qsizetype u = std::max(m_next, turn + 1); u < std::ssize(m_files); m_next = ++u) {
            const Entry &file = m_files[static_cast<std::size_t>(u)];
            const bool roomForBytes = std::ssize(m_jobs) < m_workers.threads() // a file for each thread, whatever its size
                                      || m_bytesInFlight + file.foundSize() <= m_byteLimit;
            if (std::ssize(m_jobs) >= m_limit || !roomForBytes || !destinationsExist(file))
                return;
            const QStringView key = keyOf(file);
            if (key == current || m_keys.contains(key))
                return;
            auto job = std::make_shared<Job>();
            job->position = u;
            job->key = key;
            m_keys.insert(key);
            m_bytesInFlight += file.foundSize();
            m_jobs.push_back(job);
            m_workers.post([this, job] { work(job); });
        }
    }

    // The file of `turn`, split ahead and done with; null when it was not.
    std::shared_ptr<Job> take(qsizetype turn)
    {
        while (!m_jobs.empty() && m_jobs.front()->position < turn) // files passed over
            drop(m_jobs.front());
        if (m_jobs.empty() || m_jobs.front()->position != turn)
            return nullptr;
        std::shared_ptr<Job> job = m_jobs.front();
        release(job);
        int queued = Job::Queued;
        if (job->state.compare_exchange_strong(queued, Job::Cancelled))
            return nullptr;
        waitUntil(job->position, [&job] { return job->state == Job::Done; });
        // A disk that filled up keeps what a run of one file at a time keeps:
        // the files in flight after the first that found no room are dropped.
        if (m_spaceFailedAt != kNone)
            dropFrom(m_spaceFailedAt + 1);
        return job;
    }

    // The file of `turn` found no room: the files in flight after it are
    // dropped, and none is split ahead any more. This is the one wait for
    // later files: for the room of those dropped, before this one is written
    // again, a channel at a time.
    void noRoomAt(qsizetype turn)
    {
        noteNoRoom(turn);
        dropFrom(turn + 1);
        waitUntil(kAnyJob, [this] {
            return std::all_of(m_dropped.begin(), m_dropped.end(), [](const auto &job) { return finished(*job); });
        });
        m_dropped.clear();
    }

    // Abandons the files from `position` on; each is split again in its turn.
    void dropFrom(qsizetype position)
    {
        while (!m_jobs.empty() && m_jobs.back()->position >= position)
            drop(m_jobs.back());
        m_next = std::min(m_next, position);
    }

    // The folder's destination folders were made in its turn.
    void destinationsMade(qsizetype folderNumber) { m_destinations.insert(folderNumber, true); }

private:
    static constexpr qsizetype kNone = std::numeric_limits<qsizetype>::max();
    static constexpr qsizetype kAnyJob = -1;

    // The cores that `threads` can keep busy.
    static qsizetype coresOf(int threads) { return std::min(threads, std::max(1, QThread::idealThreadCount())); }

    // Many files in flight per core, each holding four open files, within
    // what the process may open; and one for every thread beyond that, so
    // that threads asked for above the cores (for a slow mount) still each
    // have a file. Tiny files then go to the threads in batches of dozens,
    // and a thread seldom waits for the run's to top them up.
    static qsizetype inFlightLimit(int threads)
    {
        rlimit open{};
        const rlim_t allowed = ::getrlimit(RLIMIT_NOFILE, &open) == 0 ? open.rlim_cur : 1024;
        constexpr rlim_t kKept = 64;       // for everything else
        constexpr qsizetype kPerCore = 32; // enough that the threads seldom wait for each other
        return std::min<qsizetype>(std::max<qsizetype>(kPerCore * coresOf(threads), threads),
                                   allowed > kKept ? static_cast<qsizetype>((allowed - kKept) / 4) : 0);
    }
    // Large files in flight are fewer: their sources' bytes, as found, stay
    // within this per core (but for one file per thread), so that a file
    // stalled at its turn keeps no more than that written and waiting behind it.
    static constexpr qint64 kBytesPerCore = qint64{256} << 20;

    // Sources alike but for the case of their extensions share outputs, and so
    // may one folder listed twice, spelt differently: the name tells.
    // A view into the run's list of files, which outlives the files in flight.
    static QStringView keyOf(const Entry &file)
    {
        const QString &path = file.path();
        return QStringView(path).sliced(path.lastIndexOf(QLatin1Char('/')) + 1).chopped(4);
    }

    // Plans the file and writes its bands, on this thread and on those that
    // come free meanwhile; the last of them settles it.
    void work(const std::shared_ptr<Job> &job)
    {
        int queued = Job::Queued;
        if (!job->state.compare_exchange_strong(queued, Job::Running))
            return;
        const Entry &file = m_files[static_cast<std::size_t>(job->position)];
        try {
            // A run under the update rule mostly finds outputs up to date: it reads headers only.
            const SplitPlan &plan = job->plan.emplace(PlanSplit(file.path(), m_names, file.foundSize(),
                                                                file.folder->destination, m_run.m_settings.update));
            job->upToDate = plan.result == QLatin1String("OK") && m_run.m_settings.update && OutputsUpToDate(plan);
            if (plan.result == QLatin1String("OK") && !job->upToDate) {
                ChannelWriter &written = job->written.emplace(plan, std::initializer_list<int>{0, 1, 2}, m_run.m_outputs);
                if (written.bands() > 1) {
                    const auto crew = std::make_shared<BandCrew>(
                        written, [this, job] { return unwanted(*job); },
                        [this, job](const BandCrew &bands) { settle(*job, &bands); });
                    BandCrew::start(crew, m_workers, m_workers.threads() - 1);
                    return;
                }
                // One band has nothing to share: it is written here.
                job->failed = unwanted(*job);
                if (!job->failed)
                    written.write(0);
            }
        } catch (const ProcessingError &error) {
            failed(*job, error);
        } catch (...) {
            job->failed = true;
        }
        settle(*job, nullptr);
    }

    bool unwanted(const Job &job) const
    {
        return job.abandoned || m_run.m_stopRequested || job.position > m_spaceFailedAt;
    }

    // The job's work is over, with its bands written or halted (`bands`, when
    // a crew wrote them): what failed or was stopped is dropped, what was
    // written made ready to be put in place.
    void settle(Job &job, const BandCrew *bands)
    {
        try {
            if (bands) {
                bands->rethrowFailure();
                job.failed = !bands->complete();
            }
            if (!job.failed && job.written)
                job.written->finish();
        } catch (const ProcessingError &error) {
            failed(job, error);
        } catch (...) {
            job.failed = true;
        }
        if (job.failed)
            job.written.reset(); // what a file stopped or failed wrote is not put in place
        // Dropped or not is told under the lock that drop() tells it under:
        // either the job turns Done first, and the run's thread lets go of what
        // it holds, or the drop came first, and that goes here, now, outside
        // the lock (closing files may block).
        const auto markDone = [&] {
            job.state = Job::Done;
            return m_awaited == job.position || m_awaited == kAnyJob;
        };
        bool abandoned = false, awaited = false;
        {
            const std::lock_guard lock(m_doneLock);
            abandoned = job.abandoned;
            if (!abandoned)
                awaited = markDone();
        }
        if (abandoned) {
            job.written.reset();
            job.plan.reset();
            const std::lock_guard lock(m_doneLock);
            awaited = markDone();
        }
        if (awaited)
            m_done.notify_all();
    }

    void failed(Job &job, const ProcessingError &error)
    {
        job.failed = true;
        if (error.side() == FaultSide::Destination && IsLackOfSpace(error.error())) {
            job.lackOfSpace = true;
            noteNoRoom(job.position);
        }
    }

    // No file from `position` on is split ahead any more.
    void noteNoRoom(qsizetype position)
    {
        for (qsizetype at = m_spaceFailedAt; position < at;)
            if (m_spaceFailedAt.compare_exchange_weak(at, position))
                break;
    }

    // The run's thread waits for the files it needs (the one at `position`,
    // or any), and runs nothing of the pool's meanwhile: a later file stalled
    // on a slow disk never holds up one that is ready. Only the file waited
    // for wakes it.
    void waitUntil(qsizetype position, const std::function<bool()> &ready)
    {
        std::unique_lock lock(m_doneLock);
        m_awaited = position;
        m_done.wait(lock, ready);
        m_awaited = kNone;
    }

    static bool finished(const Job &job) { return job.state == Job::Done || job.state == Job::Cancelled; }

    // Abandons a file in flight, the first or the last, and waits for no
    // thread: its room goes now, or, while a thread still writes it, once the
    // thread stops (settle()). Taken by value: the list's own goes first.
    void drop(std::shared_ptr<Job> job)
    {
        bool running = false;
        {
            const std::lock_guard lock(m_doneLock);
            abandon(*job);
            running = !finished(*job);
        }
        release(job);
        std::erase_if(m_dropped, [](const auto &dropped) { return finished(*dropped); });
        if (running) {
            m_dropped.push_back(job);
        } else {
            job->written.reset();
            job->plan.reset();
        }
    }

    void abandon(Job &job)
    {
        job.abandoned = true;
        int queued = Job::Queued;
        job.state.compare_exchange_strong(queued, Job::Cancelled);
    }

    // Takes `job` out of the files in flight, the first or the last of them.
    void release(const std::shared_ptr<Job> &job)
    {
        m_keys.remove(job->key);
        m_bytesInFlight -= m_files[static_cast<std::size_t>(job->position)].foundSize();
        if (m_jobs.front() == job)
            m_jobs.pop_front();
        else
            m_jobs.pop_back();
    }

    bool destinationsExist(const Entry &file)
    {
        const auto known = m_destinations.constFind(file.folderNumber);
        if (known != m_destinations.cend())
            return known.value();
        bool exist = true;
        for (const QString &name : m_names.names)
            exist = exist && FolderExists(destinationOf(*file.folder) + QLatin1Char('/') + name);
        m_destinations.insert(file.folderNumber, exist);
        return exist;
    }

    BatchRun &m_run;
    const std::vector<Entry> &m_files;
    const Names &m_names;
    const qsizetype m_limit;
    const qint64 m_byteLimit;
    // What the run's thread alone writes, for each file, lies on cache lines
    // apart from what the other threads read for each file (above, and the
    // space failure below), so that they do not keep taking them from it.
    alignas(64) qint64 m_bytesInFlight = 0; // of the sources in flight, as found
    std::deque<std::shared_ptr<Job>> m_jobs; // in flight, in list order
    std::vector<std::shared_ptr<Job>> m_dropped; // abandoned while a thread wrote them, and holding room
    QSet<QStringView> m_keys;
    QHash<qsizetype, bool> m_destinations;
    qsizetype m_next = 0;
    alignas(64) std::atomic<qsizetype> m_spaceFailedAt = kNone;
    alignas(64) std::mutex m_doneLock; // a job's state turning Done, for waitUntil(), and what follows
    std::condition_variable m_done;
    qsizetype m_awaited = kNone; // the position the run's thread waits for, or kAnyJob
    // Last, so that its threads end before anything they use goes.
    alignas(64) Workers m_workers;
};

BatchRun::BatchRun(BatchWindow &window, Platform &platform) : m_window(window), m_platform(platform) {}

BatchRun::~BatchRun() = default;

bool BatchRun::namesUsable(const Names &names)
{
    m_problems = 0;
    m_split = 0;
    m_splitFolders = 0;
    m_error.clear();
    const char *const fields[] = {"Red Folder", "Green Folder", "Blue Folder"};
    for (std::size_t k = 0; k < 3; ++k) {
        const QString problem = DestinationNameProblem(QLatin1String(fields[k]), names.names[k]);
        if (!problem.isEmpty()) {
            ShowNotice(m_platform, problem, QStringLiteral("Invalid Folder Name"));
            return false;
        }
    }
    return true;
}

BatchOutcome BatchRun::run()
{
    const Names names{m_window.redDirName(), m_window.greenDirName(), m_window.blueDirName()};
    if (!namesUsable(names))
        return BatchOutcome::InvalidName;

    const QStringList folders = m_window.folders();
    if (folders.isEmpty()) {
        ShowNotice(m_platform, QStringLiteral("No folders have been added for processing."),
                   QStringLiteral("No Folders Added"));
        return BatchOutcome::NoFolders;
    }

    qsizetype total = 0;
    const QList<FolderFiles> work = m_settings.recursive || !m_settings.outputRoot.isEmpty()
                                        ? FolderWalk(m_settings, {names.names.begin(), names.names.end()}).collect(folders, &total)
                                        : CollectBitmapFiles(folders, &total);
    return processAll(work, total, names);
}

BatchOutcome BatchRun::runFiles(const QList<FolderFiles> &work)
{
    const Names names{m_window.redDirName(), m_window.greenDirName(), m_window.blueDirName()};
    if (!namesUsable(names))
        return BatchOutcome::InvalidName;
    qsizetype total = 0;
    for (const FolderFiles &folder : work)
        total += folder.filePaths.size();
    return processAll(work, total, names);
}

BatchOutcome BatchRun::processAll(const QList<FolderFiles> &work, qsizetype total, const Names &names)
{
    if (m_stopRequested)
        return BatchOutcome::Stopped;
    if (total == 0) {
        for (const FolderFiles &folder : work) // names passed over still deserve a word
            reportUnreadableNames(folder);
        if (!m_settings.watching)
            ShowNotice(m_platform, QStringLiteral("No bitmap files were found in the selected folders."),
                       QStringLiteral("No Files Found"));
        return BatchOutcome::NoFiles;
    }

    m_window.setCaption(processingCaption());
    BatchOutcome outcome;
    try {
        outcome = process(work, total, names);
    } catch (const StopRequested &) {
        outcome = BatchOutcome::Stopped;
    }
    finish();
    return outcome;
}

namespace {

// The bitmap files directly inside `folder`, added to `work` unless it holds none.
void collectFolder(const QString &folder, const QString &destination, QList<FolderFiles> *work, qsizetype *total)
{
    {
        FileList = QStringList{QString()};
        UnreadableNames.clear();
        FindBitmaps(folder);
        FolderFiles found{folder, {}, {}, UnreadableNames, destination};
        if (!FileList.first().isEmpty()) {
            found.filePaths = FileList;
            found.fileSizes.reserve(FileList.size());
            // Asked of the folder by name alone, which spares walking each whole path.
            const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            for (const QString &path : std::as_const(FileList)) {
                struct stat st {};
                const QStringView name = QStringView(path).sliced(path.lastIndexOf(QLatin1Char('/')) + 1);
                // A name of plain characters is spelt as it is, without an allocation.
                char plain[NAME_MAX + 1];
                const bool isPlain = name.size() <= NAME_MAX && IsPlain(name);
                if (isPlain)
                    *std::transform(name.begin(), name.end(), plain, [](QChar c) { return static_cast<char>(c.unicode()); }) = '\0';
                const bool known = dir >= 0 ? ::fstatat(dir, isPlain ? plain : name.toLocal8Bit().constData(), &st, 0) == 0
                                            : ::stat(QFile::encodeName(path).constData(), &st) == 0;
                found.fileSizes.append(known ? st.st_size : 0);
            }
            if (dir >= 0)
                ::close(dir);
        }
        if (found.filePaths.isEmpty() && found.unreadableNames.isEmpty())
            return;
        *total += found.filePaths.size();
        work->append(found);
    }
}

QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

QList<FolderFiles> CollectBitmapFiles(const QStringList &folders, qsizetype *total)
{
    QList<FolderFiles> work;
    *total = 0;
    for (const QString &folder : folders)
        if (!folder.isEmpty() && FolderExists(folder))
            collectFolder(folder, {}, &work, total);
    return work;
}

QString MirroredFolder(const QString &outputRoot, const QString &folder)
{
    const QString name = QFileInfo(cleanAbsolute(folder)).fileName();
    return name.isEmpty() ? QString() : outputRoot + QLatin1Char('/') + name;
}

FolderWalk::FolderWalk(RunSettings settings, QStringList destinationNames)
    : m_settings(std::move(settings)), m_destinationNames(std::move(destinationNames)),
      m_outputRoot(m_settings.outputRoot.isEmpty() ? QString() : cleanAbsolute(m_settings.outputRoot))
{
    if (!m_outputRoot.isEmpty())
        m_destinationNames.clear(); // none of them lies among the sources
}

bool FolderWalk::isOutputRoot(const QString &folder) const
{
    if (m_outputRoot.isEmpty())
        return false;
    struct stat a {}, b {};
    return cleanAbsolute(folder) == m_outputRoot
           || (::stat(QFile::encodeName(folder).constData(), &a) == 0
               && ::stat(QFile::encodeName(m_outputRoot).constData(), &b) == 0 && a.st_dev == b.st_dev
               && a.st_ino == b.st_ino);
}

bool FolderWalk::enters(const QString &name) const
{
    return m_settings.recursive && !name.startsWith(QLatin1Char('.')) && !m_destinationNames.contains(name);
}

QList<FolderFiles> FolderWalk::collect(const QStringList &folders, qsizetype *total)
{
    QList<FolderFiles> work;
    *total = 0;
    for (const QString &folder : folders)
        if (!folder.isEmpty() && FolderExists(folder))
            walk(folder, m_outputRoot.isEmpty() ? folder : MirroredFolder(m_outputRoot, folder), &work, total);
    return work;
}

void FolderWalk::walk(const QString &folder, const QString &destination, QList<FolderFiles> *work, qsizetype *total)
{
    // The output root, by its identity when it is there, else by its path.
    struct stat root {};
    const bool rootThere = !m_outputRoot.isEmpty() && ::stat(QFile::encodeName(m_outputRoot).constData(), &root) == 0;
    const auto seen = [this](const struct stat &st) {
        const std::pair<quint64, quint64> id{st.st_dev, st.st_ino};
        if (m_visited.contains(id))
            return true;
        m_visited.insert(id);
        return false;
    };
    struct stat top {};
    if (isOutputRoot(folder)
        || (m_settings.recursive && ::stat(QFile::encodeName(folder).constData(), &top) == 0 && seen(top)))
        return;

    // Depth first without recursion, however deep the tree: a folder's
    // subfolders go on the stack in reverse, so that the first comes next.
    std::vector<std::pair<QString, QString>> stack{{folder, destination}};
    while (!stack.empty()) {
        const auto [path, target] = std::move(stack.back());
        stack.pop_back();
        if (entering)
            entering(path, target);
        collectFolder(path, target, work, total);
        if (!m_settings.recursive)
            continue;
        DIR *dir = ::opendir(QFile::encodeName(path).constData());
        if (!dir)
            continue;
        std::vector<std::pair<QString, QString>> subfolders; // upper-case form, name
        while (const dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.' || (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN))
                continue; // hidden (".", ".." among them), or no folder; a link is no folder here
            const QString name = QFile::decodeName(entry->d_name);
            struct stat st {};
            if (!enters(name) || QFile::encodeName(name) != entry->d_name // a name that cannot be opened again
                || ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)
                || (rootThere && st.st_dev == root.st_dev && st.st_ino == root.st_ino)
                || (!m_outputRoot.isEmpty() && cleanAbsolute(AddBackslash(path) + name) == m_outputRoot) || seen(st))
                continue;
            subfolders.emplace_back(name.toUpper(), name);
        }
        ::closedir(dir);
        std::sort(subfolders.begin(), subfolders.end(), [](const auto &a, const auto &b) {
            const int upper = a.first.compare(b.first);
            return upper != 0 ? upper < 0 : a.second < b.second;
        });
        for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
            stack.emplace_back(AddBackslash(path) + it->second, AddBackslash(target) + it->second);
    }
}

void BatchRun::throwIfStopped() const
{
    if (m_stopRequested)
        throw StopRequested{};
}

void BatchRun::stopAndSettle(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(m_placingLock);
    requestStop();
    m_placed.wait_until(lock, deadline, [this] { return !m_placingNow; });
}

void SettleForExit(BatchRun *run, std::chrono::steady_clock::time_point deadline)
{
    if (!run)
        return;
    run->stopAndSettle(deadline);
    run->outputs().closeAll(deadline);
}

void SettleAndExit(BatchRun *run, int code, std::chrono::milliseconds budget)
{
    SettleForExit(run, std::chrono::steady_clock::now() + budget);
    ::_exit(code);
}

// A file's outputs go in place whole, or not at all when the run stops first.
void BatchRun::placeInTurn(const std::function<void()> &place)
{
    {
        const std::lock_guard lock(m_placingLock);
        throwIfStopped();
        m_placingNow = true;
    }
    const struct Placed
    {
        BatchRun &run;
        ~Placed()
        {
            const std::lock_guard lock(run.m_placingLock);
            run.m_placingNow = false;
            run.m_placed.notify_all();
        }
    } placed{*this};
    place();
}

namespace {

// The bands of the file whose turn it is, on this thread and on every thread
// of the pool that comes free: its helpers are queued behind the files split
// ahead meanwhile. This thread never runs a task of the pool: it writes only
// its own file's bands, and then waits for those still being written. False
// when `stop` said so; throws what a band threw.
bool writeInTurn(ChannelWriter &writer, Workers &workers, const std::function<bool()> &stop)
{
    struct Latch
    {
        std::mutex lock;
        std::condition_variable settled;
        bool done = false;
    };
    const auto latch = std::make_shared<Latch>();
    const auto crew = std::make_shared<BandCrew>(writer, stop, [latch](const BandCrew &) {
        const std::lock_guard guard(latch->lock);
        latch->done = true;
        latch->settled.notify_all();
    });
    BandCrew::start(crew, workers, workers.threads());
    std::unique_lock guard(latch->lock);
    latch->settled.wait(guard, [&latch] { return latch->done; });
    crew->rethrowFailure();
    return crew->complete();
}

} // namespace

// Splits a file in its turn, its bands on this thread and the free ones.
// Should the disk have no room for the three files, they are dropped and the
// channels written again one at a time, each put in place before the next is
// begun, so that the files that fit stay whole.
QString BatchRun::splitInTurn(const FolderFiles &folder, qsizetype index, const Names &names, bool channelByChannel,
                              Ahead &ahead, qsizetype turn)
{
    const SplitPlan plan = PlanSplit(folder.filePaths[index], names,
                                     folder.fileSizes[index], folder.destination);
    if (plan.result != QLatin1String("OK"))
        return plan.result;
    if (m_settings.update && !channelByChannel && OutputsUpToDate(plan))
        return UpToDateResult();
    const auto write = [this, &plan, &ahead](std::initializer_list<int> channels) {
        ChannelWriter files(plan, channels, m_outputs);
        if (!writeInTurn(files, ahead.workers(), [this] { return m_stopRequested.load(); }))
            throw StopRequested{};
        files.finish();
        CheckSourceUnchanged(plan);
        placeInTurn([&files] { files.place(); });
    };
    if (!channelByChannel) {
        try {
            write({0, 1, 2});
            return plan.result;
        } catch (const ProcessingError &error) {
            if (error.side() != FaultSide::Destination || !IsLackOfSpace(error.error()))
                throw;
        }
    }
    // The files in flight after this one give their room back first.
    ahead.noRoomAt(turn);
    for (const int k : {0, 1, 2})
        write({k});
    return plan.result;
}

// The one error rule of a run, for every failure met while a folder's
// destinations are made or a file is split.
//  - A problem with one source ends no run: a file deleted, unreadable,
//    smaller than when it was found or changed while it was read, or a name
//    too long for its channel files. One "Image Info" message names the file,
//    and the next file follows.
//  - A source folder that is gone is the cause of whatever failed in it: one
//    message names the folder, and its remaining files are passed over.
//  - A problem with a destination ends the run, since every later file would
//    meet it too: a folder that cannot be made, a file that cannot be written,
//    a full disk. A "Processing Error" names it, with the system's reason.
BatchRun::AfterFailure BatchRun::applyErrorRule(const ProcessingError &error, const QString &folder)
{
    if (!FolderExists(folder)) {
        reportProblem(
            QStringLiteral("The folder \"%1\" no longer exists; its remaining files were passed over.").arg(folder));
        return AfterFailure::NextFolder;
    }
    if (error.side() == FaultSide::Destination) {
        m_error = error.text();
        ShowNotice(m_platform, error.text(), QStringLiteral("Processing Error"));
        return AfterFailure::EndRun;
    }
    reportProblem(error.text());
    return AfterFailure::NextFile;
}

BatchOutcome BatchRun::process(const QList<FolderFiles> &work, qsizetype total, const Names &names)
{
    std::vector<Entry> files;
    files.reserve(static_cast<std::size_t>(total));
    for (qsizetype f = 0; f < work.size(); ++f)
        for (qsizetype i = 0; i < work[f].filePaths.size(); ++i)
            files.push_back({&work[f], f, i});
    const BatchScheduling batch; // before the threads start, so that they take it
    Ahead ahead(*this, m_threads > 0 ? m_threads : std::max(1, QThread::idealThreadCount()), files, names);

    qsizetype started = 0;
    qsizetype position = 0; // of the folder's first file in `files`
    for (qsizetype f = 0; f < work.size(); position += work[f].filePaths.size(), ++f) {
        const FolderFiles &folder = work[f];
        const int splitBefore = m_split;
        throwIfStopped();
        reportUnreadableNames(folder);
        const qsizetype count = folder.filePaths.size();
        for (qsizetype i = 0; i < count; ++i) {
            throwIfStopped();
            const qsizetype turn = position + i;
            const QString &path = folder.filePaths[i];
            try {
                if (i == 0) {
                    // Files split ahead into folders that were not there yet were split in vain.
                    if (makeDestinationFolders(folder, names))
                        ahead.dropFrom(turn);
                    ahead.destinationsMade(f);
                }
                ahead.fill(turn);
                const auto job = ahead.take(turn);
                // What was split ahead counts only if the source is still as it was then, also
                // once the user has seen its turn come.
                // (A source found up to date is taken as it was then, as make takes it: a change since is
                // a change after the check, which a watch hears of and a later run meets.)
                const auto unchanged = [&job] {
                    return job && job->plan && !job->failed && (job->upToDate || !job->plan->file.changed());
                };
                bool usable = unchanged();
                ++started;
                m_window.setThisFolderProgress(percent(i, count));
                m_window.setAllFilesProgress(percent(started, total));
                const QString found = usable ? QString() : GetFileName(path);
                const QStringView name = usable ? QStringView(path).sliced(path.lastIndexOf(QLatin1Char('/')) + 1) : found;
                const QLatin1String splitting("Splitting... ");
                QString status; // in one allocation
                status.reserve(splitting.size() + name.size());
                m_window.setStatusText(status.append(splitting).append(name));
                usable = usable && unchanged();
                QString result = !usable ? QString() : job->upToDate ? UpToDateResult() : job->plan->result;
                try {
                    if (usable && job->written)
                        placeInTurn([&job] { job->written->place(); });
                } catch (const ProcessingError &error) {
                    if (error.side() != FaultSide::Destination || !IsLackOfSpace(error.error()))
                        throw;
                    usable = false;
                    job->lackOfSpace = true;
                    job->written.reset(); // the room of what is not in place goes first
                }
                if (!usable) {
                    if (job)
                        job->written.reset(); // what it wrote ahead gives its room back first
                    result = splitInTurn(folder, i, names, job && job->lackOfSpace, ahead, turn);
                }
                if (result == QLatin1String("OK") && m_split++ == splitBefore)
                    ++m_splitFolders;
                if (m_settings.listUpToDate || result != UpToDateResult())
                    m_window.fileDone(path, result);
            } catch (const ProcessingError &error) {
                throwIfStopped(); // what fails once the run is told to stop is no error of its own
                m_window.fileDone(path, error.text());
                const AfterFailure next = applyErrorRule(error, folder.folderPath);
                if (next == AfterFailure::EndRun)
                    return BatchOutcome::Failed;
                if (next == AfterFailure::NextFolder)
                    break;
            }
        }
    }
    return BatchOutcome::Completed;
}

void BatchRun::reportProblem(const QString &text)
{
    ++m_problems;
    ShowNotice(m_platform, text, QStringLiteral("Image Info"));
}

// Names the file system's encoding cannot carry cannot be opened either. A
// folder restored from an old archive may hold hundreds: one message per
// folder names a few.
void BatchRun::reportUnreadableNames(const FolderFiles &folder)
{
    const QStringList &names = folder.unreadableNames;
    if (names.isEmpty())
        return;
    if (names.size() == 1) {
        reportProblem(QStringLiteral("\"%1\" was passed over: its name is not valid in the file system's encoding.")
                          .arg(AddBackslash(folder.folderPath) + names.first()));
        return;
    }
    constexpr qsizetype kNamesShown = 5;
    QStringList shown;
    for (const QString &name : names.first(std::min(names.size(), kNamesShown)))
        shown.append(QLatin1Char('"') + name + QLatin1Char('"'));
    if (names.size() > kNamesShown)
        shown.append(QStringLiteral("and %1 more").arg(names.size() - kNamesShown));
    reportProblem(QStringLiteral("%1 files in \"%2\" were passed over: their names are not valid in the file "
                                 "system's encoding (%3).")
                      .arg(names.size())
                      .arg(folder.folderPath, shown.join(QStringLiteral(", "))));
}

// True when any of the folders had to be made, with any of their parents
// that were missing (an output root mirrors the sources' folders). Those
// already there lose the temporary files that runs no longer running left.
bool BatchRun::makeDestinationFolders(const FolderFiles &files, const Names &names)
{
    bool made = false;
    const QString &folder = destinationOf(files);
    QStringList missing; // outermost first
    for (QString at = folder; !at.isEmpty() && !FolderExists(at);) {
        missing.prepend(at);
        const qsizetype slash = at.lastIndexOf(QLatin1Char('/'), at.size() - 2);
        at = slash < 0 ? QString() : at.left(std::max<qsizetype>(slash, 1));
    }
    // A folder another run made meanwhile serves as well as one made here.
    const auto make = [&made](const QString &path) {
        QString reason;
        if (!MakeFolder(path, &reason) && !QFileInfo(path).isDir())
            throw ProcessingError(QStringLiteral("Cannot create the folder \"%1\": %2.").arg(path, reason),
                                  FaultSide::Destination);
        made = true;
    };
    for (const QString &parent : std::as_const(missing))
        make(parent);
    for (const QString &name : names.names) {
        const QString destination = folder + QLatin1Char('/') + name;
        if (FolderExists(destination))
            RemoveStaleTemporaries(destination); // what a killed run left
        else
            make(destination);
    }
    return made;
}

void BatchRun::finish()
{
    m_window.setCaption(QStringLiteral("Prismora"));
    m_window.setThisFolderProgress(0);
    m_window.setAllFilesProgress(0);
    m_window.setStatusText(QStringLiteral("Ready..."));
    m_window.runEnded(m_split, m_splitFolders, m_error);
}
