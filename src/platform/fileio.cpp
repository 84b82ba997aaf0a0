#include "platform/fileio.h"

#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <memory>
#include <string_view>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

bool IsPlain(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

QByteArray SpelledPath(const QString &path)
{
    return IsPlain(path) ? path.toLatin1() : QFile::encodeName(path);
}

qsizetype LastSlash(QByteArrayView path)
{
    const void *slash = path.isEmpty() ? nullptr : ::memrchr(path.data(), '/', static_cast<std::size_t>(path.size()));
    return slash ? static_cast<const char *>(slash) - path.data() : -1;
}

QString SystemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

namespace {

QString systemError(int error)
{
    return SystemErrorText(error);
}

} // namespace

SourceFile::~SourceFile()
{
    close();
}

SourceFile::SourceFile(SourceFile &&other) noexcept
{
    *this = std::move(other);
}

SourceFile &SourceFile::operator=(SourceFile &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_size = std::exchange(other.m_size, 0);
        std::copy(std::begin(other.m_times), std::end(other.m_times), m_times);
        m_errno = other.m_errno;
        m_error = std::move(other.m_error);
    }
    return *this;
}

bool SourceFile::open(const QString &path)
{
    return open(QFile::encodeName(path));
}

bool SourceFile::open(const QByteArray &name)
{
    close();
    const auto failed = [this](int error) {
        m_errno = error;
        m_error = systemError(error);
        return false;
    };
    if (name.isEmpty())
        return failed(ENOENT);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return failed(errno);
    struct stat st {};
    const int error = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (error != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (error != 0)
            return failed(error);
        failed(EINVAL);
        m_error = QStringLiteral("Not a regular file");
        return false;
    }
    m_fd = fd;
    m_size = st.st_size;
    m_times[0] = st.st_mtim.tv_sec;
    m_times[1] = st.st_mtim.tv_nsec;
    m_times[2] = st.st_ctim.tv_sec;
    m_times[3] = st.st_ctim.tv_nsec;
    m_errno = 0;
    m_error.clear();
    return true;
}

void SourceFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_size = 0;
}

std::int64_t SourceFile::readAt(std::int64_t offset, void *buffer, std::size_t count) const
{
    auto *out = static_cast<char *>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(m_fd, out + done, count - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

bool SourceFile::changed() const
{
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return true;
    const std::int64_t times[4] = {st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
    return st.st_nlink == 0 || st.st_size != m_size || !std::equal(times, times + 4, m_times);
}

namespace {

// The errors with which a file system refuses to link an unnamed file, as
// some FUSE and network mounts do; any other failure is what it says.
bool linkRefused(int error)
{
    return error == EPERM || error == EOPNOTSUPP || error == EXDEV || error == ENOSYS || error == EINVAL;
}

// The errors with which a file system or kernel says it has no unnamed files.
bool unnamedUnsupported(int error)
{
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS;
}

QByteArrayView folderOf(const QByteArray &path)
{
    const qsizetype slash = LastSlash(path);
    return slash < 0 ? QByteArrayView(".") : slash == 0 ? QByteArrayView("/") : QByteArrayView(path).first(slash);
}

constexpr char kPartSuffix[] = ".prismora-part";
constexpr int kInstanceDigits = 16;

// This process among all that have had its number: one started afresh in a
// container often has the number of the one before.
const QByteArray &thisInstance()
{
    static const QByteArray instance = [] {
        std::uint64_t random = 0;
        if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
            random = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        return QByteArray::number(static_cast<qulonglong>(random), 16).rightJustified(kInstanceDigits, '0');
    }();
    return instance;
}

// Hidden, and never ending in ".bmp", so no search ever takes it for a source.
// Unique to the process and the file, so that runs side by side on one folder
// never take each other's: the process number tells a later run whether its
// maker still runs, and the instance after it which of the processes of that
// number made it.
QByteArray temporaryName(const QByteArray &final)
{
    static std::atomic<unsigned> made = 0;
    const qsizetype slash = final.lastIndexOf('/');
    return final.left(slash + 1) + '.' + final.mid(slash + 1).left(200) + '.' + QByteArray::number(::getpid()) + '-'
           + thisInstance() + QByteArray::number(made++) + kPartSuffix;
}

// Who made a temporary name: a process number, 0 for a name of an older build,
// which had none, or -1 for a name that is not a temporary one at all; and
// the instance, empty in the names of builds before it.
struct Maker
{
    pid_t pid = -1;
    std::string_view instance;
};

Maker makerOf(const char *name)
{
    const std::size_t length = std::strlen(name), suffix = sizeof kPartSuffix - 1;
    if (name[0] != '.' || length <= suffix || std::strcmp(name + length - suffix, kPartSuffix) != 0)
        return {};
    const std::string_view stem(name, length - suffix);
    const std::size_t dash = stem.rfind('-'), dot = stem.rfind('.', dash);
    if (dash == std::string_view::npos || dot == std::string_view::npos || dash == dot + 1)
        return {0, {}};
    Maker maker{0, {}};
    for (const char c : stem.substr(dot + 1, dash - dot - 1)) {
        if (c < '0' || c > '9' || maker.pid > 10000000)
            return {0, {}};
        maker.pid = maker.pid * 10 + (c - '0');
    }
    if (const std::string_view tag = stem.substr(dash + 1); tag.size() > kInstanceDigits)
        maker.instance = tag.substr(0, kInstanceDigits);
    return maker;
}

int unlinkName(const QByteArray &name)
{
    return ::unlink(name.constData()) == 0 ? 0 : errno;
}

int renameName(const QByteArray &from, const QByteArray &to)
{
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

// A hidden name stands for a file that a run still writes while a shared
// lock is held on the file: it tells the live from the dead in any process
// namespace, where a process number tells only within its own.
void holdAsLive(int fd)
{
    ::flock(fd, LOCK_SH);
}

// Whether a live run holds the file of `name` in `folder`, as above.
bool heldAsLive(int folder, const char *name)
{
    const int fd = ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

// True when `name` is the file open as `fd`: another run writing the same
// output takes the same temporary name, and its unfinished bytes must never
// be put in place.
int stillOurs(int fd, const QByteArray &name)
{
    struct stat mine {}, named {};
    if (::fstat(fd, &mine) != 0 || ::stat(name.constData(), &named) != 0)
        return errno;
    return mine.st_dev == named.st_dev && mine.st_ino == named.st_ino ? 0 : EBUSY;
}

} // namespace

AtomicOutputFile::~AtomicOutputFile()
{
    discard();
    releaseReplaced();
}

void AtomicOutputFile::holdReplaced()
{
    releaseReplaced();
    m_replaced = ::open(m_finalName.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

void AtomicOutputFile::releaseReplaced()
{
    if (m_replaced >= 0)
        ::close(m_replaced);
    m_replaced = -1;
}

// Links an empty unnamed file in `folder` under a temporary name, and
// unlinks it at once.
int OutputSession::probeLinking(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    const QByteArray name = temporaryName(folder + "/prismora-probe");
    const int error = linkDescriptor(fd, name);
    if (error == 0)
        ::unlink(name.constData());
    ::close(fd);
    return error;
}

void RemoveStaleTemporaries(const QString &folder)
{
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return;
    const int at = ::dirfd(dir);
    const QByteArray &mine = thisInstance();
    const std::string_view instance(mine.constData(), static_cast<std::size_t>(mine.size()));
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            continue;
        const Maker maker = makerOf(entry->d_name);
        // A name of this process's number but not of this process was left
        // by an earlier one.
        const bool stale = maker.pid == ::getpid()
                               ? maker.instance != instance
                               : maker.pid == 0 || (maker.pid > 0 && ::kill(maker.pid, 0) != 0 && errno == ESRCH);
        if (stale && !heldAsLive(at, entry->d_name))
            ::unlinkat(at, entry->d_name, 0);
    }
    ::closedir(dir);
}

// Asked for three times per source, once per channel, from every thread: the
// folders of the last few sources are found without the lock or a hash.
OutputSession::Folder &OutputSession::folder(QByteArrayView path)
{
    if (Folder *const recent = recentFolder(path))
        return *recent;
    const std::lock_guard lock(m_lock);
    // Another thread may have made it recent meanwhile: it is not listed twice.
    if (Folder *const recent = recentFolder(path))
        return *recent;
    const QByteArray key = path.toByteArray();
    Folder *found = m_folderAt.value(key);
    if (!found) {
        found = &m_folders.emplace_back(path);
        m_folderAt.insert(key, found);
    }
    for (std::size_t k = m_recent.size() - 1; k > 0; --k)
        m_recent[k].store(m_recent[k - 1].load(std::memory_order_relaxed), std::memory_order_release);
    m_recent.front().store(found, std::memory_order_release);
    return *found;
}

OutputSession::Folder *OutputSession::recentFolder(QByteArrayView path) const
{
    for (const auto &recent : m_recent)
        if (Folder *const at = recent.load(std::memory_order_acquire); at && at->path == path)
            return at;
    return nullptr;
}

// A named temporary file about to be made: refused once the process is
// ending, and counted until it is made or not, for closeAll() to wait for.
bool OutputSession::beginNaming(const QByteArray &name)
{
    const std::lock_guard lock(m_lock);
    if (m_closed)
        return false;
    ++m_opening;
    m_named.insert(name);
    return true;
}

// False when the process began ending meanwhile: what was made under `name`
// is the caller's to remove, since closeAll() may have missed it.
bool OutputSession::endNaming(const QByteArray &name, bool made)
{
    bool closed = false;
    {
        const std::lock_guard lock(m_lock);
        --m_opening;
        closed = m_closed;
        if (!made || closed)
            m_named.remove(name);
    }
    m_opened.notify_all();
    return !closed;
}

void OutputSession::stopUsingName(const QByteArray &name)
{
    const std::lock_guard lock(m_lock);
    m_named.remove(name);
}

// Gives the unnamed file the name `to`; fails with EEXIST when it is taken.
// Linking the descriptor itself spares the walk through /proc, but only a
// process with the right capability may; the others learn so once.
int OutputSession::linkDescriptor(int fd, const QByteArray &to)
{
    if (m_descriptorLinks != 0) {
        if (::linkat(fd, "", AT_FDCWD, to.constData(), AT_EMPTY_PATH) == 0) {
            if (m_descriptorLinks != 1) // written once: the other threads read beside it
                m_descriptorLinks = 1;
            return 0;
        }
        // Without the capability the answer is ENOENT, as for a folder gone.
        if (errno != ENOENT || m_descriptorLinks == 1)
            return errno;
    }
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
    const int error = ::linkat(AT_FDCWD, proc.constData(), AT_FDCWD, to.constData(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    if (error != ENOENT)
        m_descriptorLinks = 0;
    return error;
}

void OutputSession::closeAll(std::chrono::steady_clock::time_point deadline)
{
    QSet<QByteArray> names;
    {
        std::unique_lock lock(m_lock);
        m_closed = true;
        m_opened.wait_until(lock, deadline, [this] { return m_opening == 0; });
        names.swap(m_named);
    }
    if (names.isEmpty())
        return;
    // An unlink may stall as long as the file system likes: it goes on a
    // thread of its own, which the process does not wait for past `deadline`.
    struct Progress
    {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
    };
    const auto progress = std::make_shared<Progress>();
    const auto unlinkAll = [names, progress] {
        for (const QByteArray &name : names)
            unlinkName(name);
        const std::lock_guard lock(progress->lock);
        progress->finished = true;
        progress->done.notify_all();
    };
    try {
        std::thread(unlinkAll).detach();
    } catch (const std::system_error &) { // no thread to spare: here, then
        unlinkAll();
    }
    std::unique_lock lock(progress->lock);
    progress->done.wait_until(lock, deadline, [&] { return progress->finished; });
}

bool AtomicOutputFile::create(const QString &finalPath)
{
    return create(QFile::encodeName(finalPath));
}

const QByteArray &AtomicOutputFile::tempName()
{
    if (m_tempName.isEmpty())
        m_tempName = temporaryName(m_finalName);
    return m_tempName;
}

bool AtomicOutputFile::create(const QByteArray &finalName)
{
    discard();
    releaseReplaced();
    m_finalName = finalName;
    m_tempName.clear();
    m_end = 0;
    if (m_finalName.isEmpty()) {
        fail(ENOENT);
        return false;
    }
    // An unnamed file is linked through /proc; without it, named files serve.
    static const bool canLink = ::access("/proc/self/fd", F_OK) == 0;
    m_folder = &m_session.folder(folderOf(m_finalName));
    if (canLink && m_folder->linking != OutputSession::Linking::Refuses) {
        // Readable too, should its bytes have to move to a named file.
        const int fd = ::open(m_folder->path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_fd = fd;
            m_kind = Kind::Unnamed;
            m_errno = 0;
            m_error.clear();
            return true;
        }
        if (!unnamedUnsupported(errno)) {
            fail(errno);
            return false;
        }
    }
    return createNamed();
}

bool AtomicOutputFile::createNamed()
{
    if (!m_session.beginNaming(tempName())) {
        fail(ECANCELED);
        return false;
    }
    int fd = -1;
    int error = 0;
    for (int tries = 2; error == 0 && fd < 0 && tries > 0; --tries) {
        fd = ::open(m_tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
        error = fd < 0 ? errno : 0;
        // Left by an earlier process of our number, which no longer runs.
        if (error == EEXIST && tries > 1)
            error = unlinkName(m_tempName);
    }
    if (!m_session.endNaming(m_tempName, fd >= 0) && fd >= 0) {
        ::close(fd);
        ::unlink(m_tempName.constData());
        fd = -1;
        error = ECANCELED;
    }
    if (fd < 0) {
        fail(error);
        return false;
    }
    holdAsLive(fd);
    m_fd = fd;
    m_kind = Kind::Named;
    m_errno = 0;
    m_error.clear();
    return true;
}

int AtomicOutputFile::writeAt(const void *data, std::size_t count, std::int64_t offset)
{
    if (m_fd < 0)
        return EBADF;
    const auto *in = static_cast<const char *>(data);
    while (count > 0) {
        const ssize_t n = ::pwrite(m_fd, in, count, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        in += n;
        offset += n;
        count -= static_cast<std::size_t>(n);
    }
    std::atomic_ref end(m_end);
    for (std::int64_t known = end.load(); known < offset && !end.compare_exchange_weak(known, offset);) {
    }
    return 0;
}

int AtomicOutputFile::extendTo(std::int64_t size)
{
    if (m_end >= size)
        return 0;
    if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0)
        return errno;
    m_end = size;
    return 0;
}

// Links the unnamed file under its final name, or, when an older output holds
// that name, under the temporary name beside it for a rename over it. Asking
// first whether the name is taken would only cost a call: the link says so.
int AtomicOutputFile::linkUnnamed(bool *replacing)
{
    const int error = m_session.linkDescriptor(m_fd, m_finalName);
    if (error != EEXIST)
        return error;
    *replacing = true;
    return linkAsTemporary();
}

int AtomicOutputFile::linkAsTemporary()
{
    if (!m_session.beginNaming(tempName()))
        return ECANCELED;
    holdAsLive(m_fd); // held until the file is closed, after its rename
    // A link left by an earlier process of our number goes first.
    int error = m_session.linkDescriptor(m_fd, m_tempName);
    if (error == EEXIST) {
        error = unlinkName(m_tempName);
        if (error == 0)
            error = m_session.linkDescriptor(m_fd, m_tempName);
    }
    if (!m_session.endNaming(m_tempName, error == 0) && error == 0) {
        ::unlink(m_tempName.constData());
        error = ECANCELED;
    }
    return error;
}

// The unnamed file's bytes, copied to a named temporary file that takes its place.
bool AtomicOutputFile::moveToNamed()
{
    const int unnamed = m_fd;
    m_fd = -1;
    m_kind = Kind::None;
    bool moved = createNamed();
    m_end = 0;
    std::vector<char> buffer(std::size_t{1} << 16);
    for (off_t at = 0; moved;) {
        const ssize_t n = ::pread(unnamed, buffer.data(), buffer.size(), at);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        const int error = n < 0 ? errno : writeAt(buffer.data(), static_cast<std::size_t>(n), at);
        if (error != 0) {
            fail(error);
            moved = false;
        }
        at += n;
    }
    ::close(unnamed);
    return moved;
}

bool AtomicOutputFile::prepare()
{
    if (m_fd < 0)
        return false;
    if (m_kind != Kind::Unnamed)
        return true;
    if (m_folder->linking == OutputSession::Linking::Links)
        return true;
    // A folder's first file finds out whether its file system links unnamed
    // files, with an empty one of its own: the file itself takes no name
    // before its turn.
    const int error = m_session.probeLinking(m_folder->path);
    if (error == 0) {
        m_folder->linking = OutputSession::Linking::Links;
        return true;
    }
    if (!linkRefused(error)) {
        fail(error);
        return false;
    }
    // This folder's file system takes unnamed files but will not link them:
    // it uses named files from now on, and the file in hand moves to one.
    m_folder->linking = OutputSession::Linking::Refuses;
    return moveToNamed();
}

int AtomicOutputFile::closeFile()
{
    const int closed = ::close(m_fd);
    m_fd = -1;
    return closed != 0 ? errno : 0;
}

// The temporary name renamed over the final one, and the file closed.
bool AtomicOutputFile::renameTemporary()
{
    int error = stillOurs(m_fd, m_tempName);
    const bool ours = error != EBUSY; // the name is unique to this file: only another's file there is not ours
    int held = -1; // a named file's name stays held as live from its close to its rename
    if (m_kind == Kind::Named) { // a named file is complete only once closed
        held = ::open(m_tempName.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (held >= 0)
            holdAsLive(held);
        const int closed = closeFile();
        error = error != 0 ? error : closed;
    }
    if (error == 0) {
        // The older file stays open until this object goes, after the other
        // channels are in place too: a file system that frees its blocks as
        // it is renamed over (ext4 with discard) would take up to a second
        // for it, and a kill between the renames would leave a mixed set.
        holdReplaced();
        error = renameName(m_tempName, m_finalName);
    }
    if (held >= 0)
        ::close(held);
    m_session.stopUsingName(m_tempName);
    if (error != 0) {
        if (ours)
            unlinkName(m_tempName);
        m_kind = Kind::Unnamed; // its temporary name is dealt with, or another's
        fail(error);
        return false;
    }
    if (m_fd >= 0) {
        // In place now: a failed close must not take it away again, or the
        // user would have neither the older output nor the new one.
        error = closeFile();
        if (error != 0) {
            fail(error);
            return false;
        }
    }
    m_kind = Kind::None;
    return true;
}

bool AtomicOutputFile::commit()
{
    if (m_fd < 0)
        return false;
    if (m_kind != Kind::Unnamed)
        return renameTemporary();
    bool replacing = false;
    int error = linkUnnamed(&replacing);
    if (linkRefused(error)) {
        // A folder that linked before and refuses now: the file in hand goes
        // through a named one after all.
        m_folder->linking = OutputSession::Linking::Refuses;
        return moveToNamed() && renameTemporary();
    }
    if (error != 0) {
        fail(error);
        return false;
    }
    if (replacing) {
        m_kind = Kind::LinkedTemporary;
        return renameTemporary();
    }
    m_kind = Kind::None;
    error = closeFile();
    if (error != 0) {
        fail(error);
        return false;
    }
    return true;
}

void AtomicOutputFile::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        if (m_kind == Kind::Named || m_kind == Kind::LinkedTemporary) {
            unlinkName(m_tempName);
            m_session.stopUsingName(m_tempName);
        }
    }
    m_fd = -1;
    m_kind = Kind::None;
    m_end = 0;
}

void AtomicOutputFile::fail(int error)
{
    m_errno = error;
    m_error = systemError(error);
    discard();
}

bool IsLackOfSpace(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

bool MakeFolder(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), 0777) == 0)
        return true;
    if (error)
        *error = systemError(name.isEmpty() ? ENOENT : errno);
    return false;
}

void IgnoreFileSizeSignal()
{
    std::signal(SIGXFSZ, SIG_IGN);
}
