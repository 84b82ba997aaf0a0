#include "bitmap/splitter.h"

#include "bitmap/channelsplit.h"
#include "filesys/paths.h"
#include "platform/fileio.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// Source bytes read at a time. Large enough that system calls cost little,
// small enough to stay in cache; memory use never depends on the image size.
constexpr std::size_t kBandBytes = std::size_t{1} << 20;
constexpr std::size_t kOutputBytes = kBandBytes + kBitmapHeaderBytes;
// Pixels below this are split by one thread alone.
constexpr std::int64_t kSecondThreadMinimum = std::int64_t{1} << 16;

ProcessingError readFailure(const QString &path, const QString &reason)
{
    return {QStringLiteral("Cannot read \"%1\": %2.").arg(path, reason), FaultSide::Source};
}

ProcessingError writeFailure(const QString &path, const QString &reason)
{
    return {QStringLiteral("Cannot write \"%1\": %2.").arg(path, reason), FaultSide::Destination};
}

// The band buffers, made once per thread and kept: a fresh set per file would
// cost the system new zeroed pages for every small image.
struct Buffers
{
    std::unique_ptr<std::uint8_t[]> source = std::make_unique<std::uint8_t[]>(kBandBytes);
    std::unique_ptr<std::uint8_t[]> output[3] = {std::make_unique<std::uint8_t[]>(kOutputBytes),
                                                  std::make_unique<std::uint8_t[]>(kOutputBytes),
                                                  std::make_unique<std::uint8_t[]>(kOutputBytes)};
};

Buffers &buffers()
{
    thread_local Buffers kept;
    return kept;
}

// Reads one band of the source; a short read means the file changed under us.
const std::uint8_t *readBand(SourceFile &file, const QString &path, std::uint8_t *buffer, std::int64_t offset,
                             std::size_t count)
{
    const std::int64_t got = file.readAt(offset, buffer, count);
    if (got < 0)
        throw readFailure(path, file.errorString());
    if (static_cast<std::size_t>(got) != count)
        throw readFailure(path, QStringLiteral("the file ended early"));
    return buffer;
}

// One channel file being written through an output buffer of its own. Until
// link() it has no name a reader could see; dropped unlinked, it vanishes.
class ChannelFile
{
public:
    ChannelFile(const QString &target, std::uint8_t *buffer, Channel channel)
        : m_target(target), m_buffer(buffer), m_channel(channel)
    {
        if (!m_file.create(target))
            throw writeFailure(m_target, m_file.errorString());
    }

    Channel channel() const { return m_channel; }

    // Room for `count` bytes (at most kOutputBytes), to be filled at once.
    std::uint8_t *reserve(std::size_t count)
    {
        if (m_used + count > kOutputBytes)
            flush();
        std::uint8_t *at = m_buffer + m_used;
        m_used += count;
        return at;
    }

    void zeros(std::int64_t count)
    {
        while (count > 0) {
            const auto chunk = static_cast<std::size_t>(std::min<std::int64_t>(count, kBandBytes));
            std::memset(reserve(chunk), 0, chunk);
            count -= static_cast<std::int64_t>(chunk);
        }
    }

    void flush()
    {
        if (m_used > 0 && !m_file.write(m_buffer, m_used))
            throw writeFailure(m_target, m_file.errorString());
        m_used = 0;
    }

    void link()
    {
        if (!m_file.commit())
            throw writeFailure(m_target, m_file.errorString());
    }

private:
    QString m_target;
    std::uint8_t *m_buffer;
    Channel m_channel;
    AtomicOutputFile m_file;
    std::size_t m_used = 0;
};

using ChannelFiles = std::vector<std::unique_ptr<ChannelFile>>;

// Whole rows, `count` of them, from `in` into the file.
void putRows(ChannelFile &out, const std::uint8_t *in, std::size_t count, const PixelLayout &layout)
{
    const auto width = static_cast<std::size_t>(layout.width);
    const auto rowBytes = static_cast<std::size_t>(layout.rowBytes);
    std::uint8_t *dest = out.reserve(count * rowBytes);
    for (std::size_t r = 0; r < count; ++r) {
        ExtractChannel(in + r * rowBytes, dest + r * rowBytes, width, out.channel());
        std::memset(dest + r * rowBytes + 3 * width, 0, rowBytes - 3 * width);
    }
}

// A second thread for the channel files. Copying them into the file system's
// cache is most of a split's work, and the kernel does it for two files at
// once on two cores: while the calling thread reads the source and fills its
// files, this one fills the last.
class SecondThread
{
public:
    // The process's second thread; none on a single core, nor in a child
    // forked from a process that had one (the child has only one thread).
    // Never destroyed: at the end of the process it is only waiting.
    static SecondThread *instance()
    {
        static SecondThread *const second = std::thread::hardware_concurrency() < 2 ? nullptr : new SecondThread;
        return second && second->m_process == ::getpid() ? second : nullptr;
    }

    // One split at a time has the thread; another does all its work itself.
    std::mutex &owner() { return m_owner; }

    void start(const std::function<void()> &job)
    {
        const std::lock_guard lock(m_lock);
        m_job = &job;
        m_changed.notify_all();
    }

    // Waits for the job given to start(), and throws what it threw.
    void wait()
    {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [this] { return m_job == nullptr; });
        if (m_failure)
            std::rethrow_exception(std::exchange(m_failure, nullptr));
    }

private:
    SecondThread() { std::thread([this] { serve(); }).detach(); }

    void serve()
    {
        std::unique_lock lock(m_lock);
        for (;;) {
            m_changed.wait(lock, [this] { return m_job != nullptr; });
            const std::function<void()> &job = *m_job;
            lock.unlock();
            std::exception_ptr failure;
            try {
                job();
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            m_failure = failure;
            m_job = nullptr;
            m_changed.notify_all();
        }
    }

    std::mutex m_owner;
    std::mutex m_lock; // guards what follows
    std::condition_variable m_changed;
    const std::function<void()> *m_job = nullptr;
    std::exception_ptr m_failure;
    const pid_t m_process = ::getpid();
};

// Runs `step` on every file: on the last one in the second thread, when there
// are several and this split has that thread, and on the others here. Returns
// when all are done, and throws what any threw.
void forEachFile(const ChannelFiles &files, SecondThread *second, const std::function<void(ChannelFile &)> &step)
{
    if (!second || files.size() < 2) {
        for (const auto &out : files)
            step(*out);
        return;
    }
    const std::function<void()> last = [&] { step(*files.back()); };
    second->start(last);
    // The second thread must be done with its file before any error here
    // unwinds past the files.
    struct Join
    {
        SecondThread *second;
        bool joined = false;
        ~Join()
        {
            if (!joined)
                try {
                    second->wait();
                } catch (...) {
                }
        }
    } join{second};
    for (std::size_t k = 0; k + 1 < files.size(); ++k)
        step(*files[k]);
    join.joined = true;
    second->wait();
}

// The header and pixels of every file in `files`, each band of the source
// read once for all of them.
void fillChannelFiles(const ChannelFiles &files, SourceFile &source, const QString &path,
                      const std::array<std::uint8_t, kBitmapHeaderBytes> &header, const PixelLayout &layout,
                      const SplitControl &control)
{
    // Handing a small image over costs more than its copying.
    SecondThread *second = layout.pixelBytes >= kSecondThreadMinimum ? SecondThread::instance() : nullptr;
    std::unique_lock<std::mutex> ownsSecond;
    if (second) {
        ownsSecond = std::unique_lock(second->owner(), std::try_to_lock);
        if (!ownsSecond.owns_lock())
            second = nullptr;
    }
    std::uint8_t *band = buffers().source.get();
    const auto afterBand = [&control] {
        if (control.afterBand)
            control.afterBand();
    };
    const auto finish = [&layout](ChannelFile &out) {
        out.zeros(layout.imageSize - layout.pixelBytes);
        out.flush();
    };
    for (const auto &out : files)
        std::memcpy(out->reserve(header.size()), header.data(), header.size());
    const auto width = static_cast<std::size_t>(layout.width);
    const auto rowBytes = static_cast<std::size_t>(layout.rowBytes);
    if (rowBytes <= kBandBytes) {
        const std::int64_t rowsPerBand = static_cast<std::int64_t>(kBandBytes / rowBytes);
        // An image of one band, as most are, is written in the same hand-over.
        const bool oneBand = layout.rows <= rowsPerBand;
        for (std::int64_t row = 0; row < layout.rows; row += rowsPerBand) {
            const auto count = static_cast<std::size_t>(std::min(rowsPerBand, layout.rows - row));
            const std::uint8_t *in =
                readBand(source, path, band, layout.offset + row * layout.rowBytes, count * rowBytes);
            forEachFile(files, second, [&](ChannelFile &out) {
                putRows(out, in, count, layout);
                if (oneBand)
                    finish(out);
            });
            afterBand();
        }
        if (!oneBand)
            forEachFile(files, second, finish);
        return;
    }
    // A row wider than a band goes through in pieces of whole pixels.
    const std::size_t pixelsPerPiece = kBandBytes / 3;
    for (std::int64_t row = 0; row < layout.rows; ++row) {
        const std::int64_t rowStart = layout.offset + row * layout.rowBytes;
        for (std::size_t pixel = 0; pixel < width; pixel += pixelsPerPiece) {
            const std::size_t count = std::min(pixelsPerPiece, width - pixel);
            const std::uint8_t *in =
                readBand(source, path, band, rowStart + static_cast<std::int64_t>(3 * pixel), 3 * count);
            forEachFile(files, second, [&](ChannelFile &out) {
                ExtractChannel(in, out.reserve(3 * count), count, out.channel());
                if (pixel + count == width)
                    out.zeros(static_cast<std::int64_t>(rowBytes - 3 * width));
            });
            afterBand();
        }
    }
    forEachFile(files, second, finish);
}

// Creates, fills and puts in place the files of `channels` (indexes into
// `targets`, red 0, green 1, blue 2), side by side.
void writeTogether(std::initializer_list<int> channels, SourceFile &source, const QString &path,
                   const QString (&targets)[3], const std::array<std::uint8_t, kBitmapHeaderBytes> &header,
                   const PixelLayout &layout, const SplitControl &control)
{
    static constexpr Channel kChannels[3] = {Channel::Red, Channel::Green, Channel::Blue};
    Buffers &kept = buffers();
    ChannelFiles files;
    for (const int k : channels)
        files.push_back(std::make_unique<ChannelFile>(targets[k], kept.output[k].get(), kChannels[k]));
    fillChannelFiles(files, source, path, header, layout, control);
    const auto link = [&files] {
        for (const auto &out : files)
            out->link();
    };
    if (control.commit)
        control.commit(link);
    else
        link();
}

void writeChannels(SourceFile &source, const QString &path, const QString (&targets)[3], const BitmapHeader &header,
                   const PixelLayout &layout, const SplitControl &control)
{
    const auto encoded = EncodeBitmapHeader(header);
    try {
        writeTogether({0, 1, 2}, source, path, targets, encoded, layout, control);
        return;
    } catch (const ProcessingError &error) {
        if (error.side() != FaultSide::Destination)
            throw;
    }
    // The three unfinished files are gone, and with them the room they took.
    // One at a time, red, green, blue, each is put in place before the next is
    // begun: on a disk that fills up, the files finished before it stay.
    for (const int k : {0, 1, 2})
        writeTogether({k}, source, path, targets, encoded, layout, control);
}

} // namespace

QString CheckBitmapGeometry(const BitmapHeader &header, std::int64_t fileSize, PixelLayout *layout)
{
    // Rows of zero pixels, and widths that make no sense, have no channels to split.
    if (header.biWidth <= 0)
        return QStringLiteral("Bitmap width is not positive. ");
    // A height of the smallest 32-bit value has no positive counterpart.
    if (header.biHeight == 0 || header.biHeight == std::numeric_limits<std::int32_t>::min())
        return QStringLiteral("Bitmap height is zero or out of range. ");

    PixelLayout l;
    l.width = header.biWidth;
    l.rows = header.biHeight < 0 ? -std::int64_t{header.biHeight} : header.biHeight;
    l.rowBytes = 3 * l.width + l.width % 4; // < 2^34: no overflow in 64 bits
    // Each channel file must be describable by the header's 32-bit size field.
    if (l.rowBytes > kInt32Max || l.rows > kInt32Max / l.rowBytes)
        return QStringLiteral("Bitmap is too large. ");
    l.pixelBytes = l.rowBytes * l.rows;

    // The pixels must start after the headers that the file says it has.
    if (header.biSize < 40 || header.bfOffBits < 14 + std::int64_t{header.biSize})
        return QStringLiteral("Bitmap header sizes are invalid. ");
    l.offset = header.bfOffBits;

    // Never read, and so never write, more than the file holds.
    const std::int64_t available = fileSize - l.offset;
    if (available < l.pixelBytes)
        return QStringLiteral("Bitmap file is truncated. ");

    // A stated size is honoured when it covers the rows, as far as the file
    // holds bytes; a missing or too small one is computed.
    const std::int64_t stated = header.biSizeImage; // signed: a negative size is too small
    l.imageSize = stated < l.pixelBytes ? l.pixelBytes : std::min({stated, available, kInt32Max});

    if (layout)
        *layout = l;
    return QStringLiteral("OK");
}

BitmapHeader ChannelFileHeader(const BitmapHeader &source, const PixelLayout &layout)
{
    BitmapHeader out = source;
    out.biSizeImage = static_cast<std::int32_t>(layout.imageSize);
    if (source.bfOffBits != kBitmapHeaderBytes || source.biSize != 40) {
        // Colour tables and larger information headers are not carried over:
        // the output is a plain 54-byte-header bitmap that says so.
        out.bfOffBits = kBitmapHeaderBytes;
        out.biSize = 40;
        out.bfSize = static_cast<std::int32_t>(static_cast<std::uint32_t>(kBitmapHeaderBytes + layout.imageSize));
        out.biClrUsed = 0;
        out.biClrImportant = 0;
    }
    return out;
}

void WriteChannelFiles(SourceFile &source, const QString &path, const BitmapHeader &header,
                       const PixelLayout &layout, const QString &redDir, const QString &greenDir,
                       const QString &blueDir, const SplitControl &control)
{
    const QString name = GetFileName(path);
    if (name.isEmpty())
        throw readFailure(path, QStringLiteral("No such file or directory"));
    const QString base = name.left(std::max<qsizetype>(0, name.size() - 4));
    const QString folder = path.left(path.size() - name.size());
    const QString targets[3] = {
        folder + redDir + QStringLiteral("/R_") + base + QStringLiteral(".bmp"),
        folder + greenDir + QStringLiteral("/G_") + base + QStringLiteral(".bmp"),
        folder + blueDir + QStringLiteral("/B_") + base + QStringLiteral(".bmp"),
    };
    writeChannels(source, path, targets, ChannelFileHeader(header, layout), layout, control);
}

QString SplitBitmap(const QString &path, const QString &redDir, const QString &greenDir, const QString &blueDir,
                    const SplitControl &control)
{
    SourceFile source;
    std::array<std::uint8_t, kBitmapHeaderBytes> bytes{};
    if (!source.open(path) || source.readAt(0, bytes.data(), bytes.size()) < 0)
        throw readFailure(path, source.errorString());
    // Checked before the header: a file emptied since, to be written anew,
    // would otherwise pass for one that is not a bitmap.
    if (source.size() < control.foundSize)
        throw readFailure(path, QStringLiteral("the file became shorter after it was found"));
    const BitmapHeader header = DecodeBitmapHeader(bytes);
    const QString check = CheckBitmapHeader(header);
    if (check != QLatin1String("OK"))
        return check;

    PixelLayout layout;
    const QString geometry = CheckBitmapGeometry(header, source.size(), &layout);
    if (geometry != QLatin1String("OK"))
        return geometry;

    WriteChannelFiles(source, path, header, layout, redDir, greenDir, blueDir, control);
    return QStringLiteral("OK");
}
