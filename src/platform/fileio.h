#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <array>
#include <deque>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <ctime>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

// Raw byte access to files. Failures carry the system's own description of
// what went wrong, ready to be shown to the user, and its error number.

class SourceFile
{
public:
    SourceFile() = default;
    ~SourceFile();
    SourceFile(SourceFile &&other) noexcept;
    SourceFile &operator=(SourceFile &&other) noexcept;

    // Opens an existing regular file for reading. Never blocks: a FIFO or a
    // device that happens to carry a bitmap's name is refused.
    bool open(const QString &path);
    // The same, with the path as the file system spells it.
    bool open(const QByteArray &name);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    std::int64_t size() const { return m_size; }

    // Reads up to `count` bytes at `offset`; returns the number read (short
    // only at the end of the file) or, on error, minus the error number. Safe
    // from several threads at once.
    std::int64_t readAt(std::int64_t offset, void *buffer, std::size_t count) const;

    // True when the file's size, modification time or change time is no
    // longer what it was when it was opened, or it has been deleted: what was
    // read may mix old bytes and new.
    bool changed() const;
    // The modification time it had when it was opened.
    timespec modified() const { return {static_cast<time_t>(m_times[0]), static_cast<long>(m_times[1])}; }

    int error() const { return m_errno; }
    QString errorString() const { return m_error; }

private:
    int m_fd = -1;
    std::int64_t m_size = 0;
    std::int64_t m_times[4] = {}; // modification and change time, seconds and nanoseconds
    int m_errno = 0;
    QString m_error;
};

// What one run knows of its output folders, and the hidden temporary files it
// has in use: every output file of a run is made through the run's session,
// so that nothing of it outlives the run or is shared with another. Safe from
// several threads; no lock is held across a call that can block on a file
// system.
class OutputSession
{
public:
    OutputSession() = default;
    OutputSession(const OutputSession &) = delete;
    OutputSession &operator=(const OutputSession &) = delete;

    // For the end of a process that abandons the run mid-file: refuses new
    // named temporary files and removes those in use, so that nothing is left
    // behind (unnamed files vanish by themselves). Waits for that, and for the
    // named files being opened just now, until `deadline` at most.
    void closeAll(std::chrono::steady_clock::time_point deadline);

private:
    friend class AtomicOutputFile;
    // What a folder's file system does with an unnamed file: not tried yet,
    // link it, or refuse to.
    enum class Linking { Untried, Links, Refuses };
    // An output folder of the run: kept as long as the session, at one place.
    struct Folder
    {
        explicit Folder(QByteArrayView at) : path(at.toByteArray()) {}
        const QByteArray path;
        std::atomic<Linking> linking = Linking::Untried;
    };

    Folder &folder(QByteArrayView path);
    Folder *recentFolder(QByteArrayView path) const;
    bool beginNaming(const QByteArray &name);
    bool endNaming(const QByteArray &name, bool made);
    void stopUsingName(const QByteArray &name);
    int linkDescriptor(int fd, const QByteArray &to);
    int probeLinking(const QByteArray &folder);

    std::mutex m_lock; // guards what follows
    std::condition_variable m_opened;
    std::deque<Folder> m_folders;
    QHash<QByteArray, Folder *> m_folderAt;
    // The folders made or found last, newest first, read without the lock:
    // a folder is never removed before the session goes. On a cache line of
    // their own, which no thread writes for each file.
    alignas(64) std::array<std::atomic<Folder *>, 4> m_recent{};
    alignas(64) QSet<QByteArray> m_named; // named temporary files in use
    int m_opening = 0;        // named files being made just now
    bool m_closed = false;
    std::atomic<int> m_descriptorLinks = -1; // whether linkat() takes a descriptor: not tried yet
};

// A file that appears under its final name only once it is complete, and
// never before: a failure or a crash at any moment leaves the final name as it
// was. Where the file system allows, the bytes go to an unnamed file in the
// destination folder that commit() links into place, so a killed process
// leaves nothing behind. An existing file is replaced through a link under a
// hidden temporary name, unique to the process and the file, and a rename; a
// kill between the two leaves that one complete hidden file, which
// RemoveStaleTemporaries() removes. Elsewhere, and in folders whose file system
// takes unnamed files but will not link them, the bytes go to a hidden
// temporary file of such a name, renamed over the final name. There is no sync
// to disk: outputs can always be made again.
//
// No lock is held across a call that can block on a file system.
class AtomicOutputFile
{
public:
    explicit AtomicOutputFile(OutputSession &session) : m_session(session) {}
    ~AtomicOutputFile();
    AtomicOutputFile(const AtomicOutputFile &) = delete;
    AtomicOutputFile &operator=(const AtomicOutputFile &) = delete;

    bool create(const QString &finalPath);
    // The same, with the path as the file system spells it. The name is
    // copied as QByteArray copies: a view (QByteArray::fromRawData), such as
    // a plan's channel names, must outlive this file.
    bool create(const QByteArray &finalName);
    // Writes `count` bytes at `offset`. Several threads may write one file at
    // once, at different places. Returns 0 or the error number; a failure
    // drops nothing, so that the other writers can finish first: discard()
    // then drops the file.
    int writeAt(const void *data, std::size_t count, std::int64_t offset);
    // Makes the file `size` bytes long, zeros after what was written.
    int extendTo(std::int64_t size);
    // Readies the file to be put in place quickly. In a folder not yet known
    // to link unnamed files, it is linked under the hidden temporary name now,
    // and where such links are refused its bytes are copied into a named
    // temporary file now: the copying never happens while files are put in
    // place. False, with the file dropped, on failure.
    bool prepare();
    // Puts the file under its final name.
    bool commit();
    // Drops what was written; the final name is left as it was.
    void discard();

    int error() const { return m_errno; }
    QString errorString() const { return m_error; }

private:
    enum class Kind { None, Unnamed, LinkedTemporary, Named };

    const QByteArray &tempName();
    bool createNamed();
    int linkUnnamed(bool *replacing);
    int linkAsTemporary();
    bool moveToNamed();
    bool renameTemporary();
    int closeFile();
    void holdReplaced();
    void releaseReplaced();
    void fail(int error);

    OutputSession &m_session;
    int m_fd = -1;
    Kind m_kind = Kind::None;
    QByteArray m_finalName;
    OutputSession::Folder *m_folder = nullptr;
    QByteArray m_tempName; // made when first needed
    int m_errno = 0;
    QString m_error;
    std::int64_t m_end = 0;     // the end of the furthest write
    int m_replaced = -1;        // the older file at the final name, held open
};

// Removes from `folder` the hidden temporary files of processes that no longer
// run, such as a kill can leave, and those of an earlier process that had this
// one's number; those of live runs stay, and so does any file a live run holds
// (a shared lock on it), whatever its name's number says.
void RemoveStaleTemporaries(const QString &folder);

// True when every character of `text` is a plain one (below 0x80), which
// every encoding a file system uses spells alike, one byte each.
bool IsPlain(QStringView text);

// QFile::encodeName(path), without the text codecs for a plain path.
QByteArray SpelledPath(const QString &path);

// Where the last "/" of a spelt path is, or -1.
qsizetype LastSlash(QByteArrayView path);

// The system's description of an error number.
QString SystemErrorText(int error);

// True for the errors of a file system that has no room: a full disk, a
// quota, a file size limit.
bool IsLackOfSpace(int error);

// Creates one folder whose parent exists; on failure returns false and sets
// `error` to the system's reason.
bool MakeFolder(const QString &path, QString *error);

// A write that would cross the process's file-size limit must fail like a full
// disk instead of killing the process.
void IgnoreFileSizeSignal();
