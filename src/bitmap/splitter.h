#pragma once

#include "bitmap/bitmapheader.h"
#include "bitmap/channelsplit.h"
#include "platform/fileio.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>

// Source bytes read at a time, and written at a time to each channel file.
// An image of no more pixel bytes than this is split in one band.
inline constexpr std::int64_t kSplitBandBytes = std::int64_t{1} << 20;

// Which side of a split a failure lies on: the source being read, or the
// channel files and folders being written.
enum class FaultSide { Source, Destination };

// A failure the splitter cannot turn into a refusal: a source that cannot be
// read, a channel file that cannot be written. The text names the file and
// gives the system's reason; `error` is the system's error number, if any.
class ProcessingError : public std::exception
{
public:
    ProcessingError(QString text, FaultSide side, int error = 0)
        : m_text(std::move(text)), m_side(side), m_error(error)
    {
    }
    const QString &text() const { return m_text; }
    FaultSide side() const { return m_side; }
    int error() const { return m_error; }
    const char *what() const noexcept override { return "processing error"; }

private:
    QString m_text;
    FaultSide m_side;
    int m_error;
};

// Where the pixels lie and how many bytes each channel file carries.
struct PixelLayout
{
    std::int64_t width = 0;      // pixels per row
    std::int64_t rows = 0;       // |biHeight|
    std::int64_t rowBytes = 0;   // 3 * width + width mod 4
    std::int64_t pixelBytes = 0; // rowBytes * rows
    std::int64_t offset = 0;     // bfOffBits
    std::int64_t imageSize = 0;  // pixel bytes in each output, surplus zeros included
};

// "OK" with `layout` filled in when a header that passed CheckBitmapHeader
// describes pixels that the file really holds; otherwise a refusal text in the
// style of CheckBitmapHeader. All arithmetic is 64-bit and nothing is allocated.
QString CheckBitmapGeometry(const BitmapHeader &header, std::int64_t fileSize, PixelLayout *layout);

// The header every channel file starts with.
BitmapHeader ChannelFileHeader(const BitmapHeader &source, const PixelLayout &layout);

// The channel file of `source`, a full path whose last part is the file's
// stored name, in the destination folder `folderName` of `base` (the source's
// own folder when empty): "R_", "G_" or "B_", the name without its last four
// characters, and ".bmp".
QString ChannelFilePath(const QString &source, const QString &folderName, Channel channel,
                        const QString &base = {});

// The three destination folder names of a split, red, green, blue, and how
// the file system spells them: spelt once for a run, not once per file.
struct ChannelFolders
{
    ChannelFolders(const QString &red, const QString &green, const QString &blue);
    std::array<QString, 3> names;
    std::array<QByteArray, 3> spelled;
};

class ChannelNames;

// ChannelFilePath() of each channel of `folders`, red, green, blue, as the
// file system spells them, given the source's own spelling.
ChannelNames ChannelFileNames(const QString &source, const QByteArray &encoded, const ChannelFolders &folders,
                              const QString &base = {});

// The three channel files of a source, red, green, blue, as the file system
// spells them, made in one allocation: they are made for every source. Each
// name may be a view into storage that the object shares with its copies:
// a name copied out of it is valid only while one of them lives.
class ChannelNames
{
public:
    const QByteArray &operator[](std::size_t k) const { return m_names[k]; }
    auto begin() const { return m_names.begin(); }
    auto end() const { return m_names.end(); }

private:
    friend ChannelNames ChannelFileNames(const QString &, const QByteArray &, const ChannelFolders &, const QString &);
    QByteArray m_block;                // the three, each followed by a NUL, when made from the source's spelling
    std::array<QByteArray, 3> m_names; // views into m_block, or names of their own
};

// Everything decided about one source before anything is written: the
// checked header and layout or the refusal, and the three files to write.
struct SplitPlan
{
    QString source;
    QString result;                      // "OK" to split, else the refusal text
    BitmapHeader header;                 // of the channel files
    PixelLayout layout;
    ChannelNames names;                  // the channel files; the writers of the plan use them
    SourceFile file;                     // open while the plan is carried out
    // A small source, read whole as it was planned, into the band buffer of
    // the thread that planned it: its band, written on that thread before
    // the buffer is filled again, is not read a second time. Else null. A
    // buffer is told by its place and its fills, so a plan must not outlive
    // the thread that made it (a later thread's buffer may take that place).
    const std::uint8_t *whole = nullptr;
    std::uint64_t wholeFill = 0; // which filling of that buffer holds it

    // Channel file `k`, as the user reads its name.
    QString target(std::size_t k) const;
};

// Opens and checks a source and names its channel files, in the destination
// folders of `base` (beside the source when empty), writing nothing. Throws
// ProcessingError when the source cannot be read or has become shorter than
// `foundSize`, and when its channel files could not carry their names (too
// long for the file system). A small source is read whole, unless only its
// header is wanted (`headerOnly`: it will likely not be split).
SplitPlan PlanSplit(const QString &path, const ChannelFolders &folders, std::int64_t foundSize = -1,
                    const QString &base = {}, bool headerOnly = false);

// Make's rule, on what the plan would write: true when each of its three
// channel files is a regular file of exactly the size the split gives, none
// older than the source, and none with a hole where the split writes data
// (what a power cut can leave of a file whose blocks were allocated late).
// For a plan whose result is "OK"; reads nothing but the files' metadata.
bool OutputsUpToDate(const SplitPlan &plan);

// A channel file being written: 0 red, 1 green, 2 blue.
struct ChannelOutput
{
    int channel = 0;
    std::optional<AtomicOutputFile> file;
};

// Some of a plan's channel files, being written; they are dropped unfinished,
// leaving every older output as it was, unless they are put in place. What
// decides which thread writes which band, and when the files go in place, is
// the caller's: a writer knows nothing of runs, threads or stops.
class ChannelWriter
{
public:
    // Creates the files of `channels` (0 red, 1 green, 2 blue) in `session`.
    // The plan must outlive the writer. Throws ProcessingError.
    ChannelWriter(const SplitPlan &plan, std::initializer_list<int> channels, OutputSession &session);
    ~ChannelWriter();
    ChannelWriter(const ChannelWriter &) = delete;
    ChannelWriter &operator=(const ChannelWriter &) = delete;

    // The bands of the image, each read once from the source for all files.
    std::int64_t bands() const { return m_bands; }
    // Writes band `k` to every file. Several threads may write different
    // bands at once. Throws ProcessingError.
    void write(std::int64_t k);
    // Every band on this thread, asking `stop` (if any) before each: false
    // once it answers true, with the bands after it unwritten.
    bool writeAll(const std::function<bool()> &stop = {});
    // Once every band is written: readies the files to be put in place
    // quickly (AtomicOutputFile::prepare). Throws ProcessingError.
    void finish();
    // Puts each under its final name, in the order red, green, blue. Throws
    // ProcessingError.
    void place();

private:
    const SplitPlan &m_plan;
    std::int64_t m_bands = 0;
    std::array<std::uint8_t, kBitmapHeaderBytes> m_header{};
    std::array<ChannelOutput, 3> m_outputs;
    std::size_t m_count = 0; // of them in use
    std::span<ChannelOutput> outputs() { return std::span(m_outputs).first(m_count); }
};

// Throws ProcessingError when the plan's source changed since it was opened.
void CheckSourceUnchanged(const SplitPlan &plan);

// Plans and splits one source into R_, G_ and B_ files in the three named
// subfolders of its folder, on this thread, the three put in place together.
// Returns "OK", or the refusal text when nothing was written. Throws
// ProcessingError; a full disk then leaves every older output as it was.
QString SplitBitmap(const QString &path, const QString &redDir, const QString &greenDir, const QString &blueDir);
