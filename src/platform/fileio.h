#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>

// Raw byte access to files. Failures carry the system's own description of
// what went wrong, ready to be shown to the user.

class SourceFile
{
public:
    SourceFile() = default;
    ~SourceFile();
    SourceFile(const SourceFile &) = delete;
    SourceFile &operator=(const SourceFile &) = delete;

    // Opens an existing regular file for reading. Never blocks: a FIFO or a
    // device that happens to carry a bitmap's name is refused.
    bool open(const QString &path);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    std::int64_t size() const { return m_size; }

    // Reads up to `count` bytes at `offset`; returns the number read (short
    // only at the end of the file) or -1 on error.
    std::int64_t readAt(std::int64_t offset, void *buffer, std::size_t count);

    QString errorString() const { return m_error; }

private:
    int m_fd = -1;
    std::int64_t m_size = 0;
    QString m_error;
};

// A file that appears under its final name only once it is complete, and
// never before: a failure or a crash at any moment leaves the final name as it
// was. Where the file system allows, the bytes go to an unnamed file in the
// destination folder that commit() links into place, so a killed process
// leaves nothing behind. An existing file is replaced through a link under a
// hidden temporary name and a rename; a kill between the two leaves that one
// complete hidden file, which the next write of the same output replaces.
// Elsewhere, and in folders whose file system takes unnamed files but will not
// link them, the bytes go to a hidden temporary file with that same fixed name,
// renamed over the final name; a crash leaves at most that one. There is no
// sync to disk: outputs can always be made again.
class AtomicOutputFile
{
public:
    AtomicOutputFile() = default;
    ~AtomicOutputFile();
    AtomicOutputFile(const AtomicOutputFile &) = delete;
    AtomicOutputFile &operator=(const AtomicOutputFile &) = delete;

    bool create(const QString &finalPath);
    bool write(const void *data, std::size_t count);
    bool commit();
    // Drops what was written; the final name is left as it was.
    void discard();

    QString errorString() const { return m_error; }

    // The hidden name used beside `finalPath` while it is being replaced.
    static QString temporaryPath(const QString &finalPath);
    // For the end of a process that abandons a run mid-file: removes the named
    // temporary files still being written and refuses new ones, so that
    // nothing is left behind (unnamed files vanish by themselves). Tests
    // reopen with `closed` false.
    static void closeAll(bool closed = true);
    // Tests turn unnamed files off to exercise the named fallback.
    static void setUnnamedFilesAllowed(bool allowed);
    // Tests stand in for a file system that fails, stalls or fills up: called
    // at every write (with its size), link and close of an output file, where
    // a non-zero result fails that step with that error number, and told when
    // an unfinished file is dropped (with the bytes it held). A call already
    // made when it is set again goes on with the one it had.
    enum class Step { Write, Link, Close, Drop };
    static void setFault(std::function<int(Step step, std::size_t count)> fault);

private:
    bool createNamed();
    int linkUnnamed(bool *replacing);
    bool moveToNamed();
    bool commitNamed();
    int closeFile();
    void fail(int error);

    int m_fd = -1;
    bool m_unnamed = false;
    QByteArray m_finalName;
    QByteArray m_tempName;
    QString m_error;
    std::size_t m_written = 0; // into m_fd
};

// Creates one folder whose parent exists; on failure returns false and sets
// `error` to the system's reason.
bool MakeFolder(const QString &path, QString *error);

// A write that would cross the process's file-size limit must fail like a full
// disk instead of killing the process.
void IgnoreFileSizeSignal();
