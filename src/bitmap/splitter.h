#pragma once

#include "bitmap/bitmapheader.h"

#include <QString>
#include <cstdint>
#include <exception>
#include <functional>

class SourceFile;

// Which side of a split a failure lies on: the source being read, or the
// channel files and folders being written.
enum class FaultSide { Source, Destination };

// A failure the splitter cannot turn into a refusal: a source that cannot be
// read, a channel file that cannot be written. The text names the file and
// gives the system's reason.
class ProcessingError : public std::exception
{
public:
    ProcessingError(QString text, FaultSide side) : m_text(std::move(text)), m_side(side) {}
    const QString &text() const { return m_text; }
    FaultSide side() const { return m_side; }
    const char *what() const noexcept override { return "processing error"; }

private:
    QString m_text;
    FaultSide m_side;
};

// How the caller steers a split in progress. Both hooks may throw to abandon
// the file: its channel files are then dropped unfinished, and any older
// outputs stay as they were.
struct SplitControl
{
    // Called after every band of pixels read.
    std::function<void()> afterBand;
    // Puts the finished channel files in place by calling `link`.
    std::function<void(const std::function<void()> &link)> commit;
    // The size the source had when it was found, if known: a source that has
    // since become smaller is a file that changed under the run, not a refusal.
    std::int64_t foundSize = -1;
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

// Splits one source into R_, G_ and B_ files in the three named subfolders of
// its folder. Each band of the source is read once and written to all three
// files side by side; they are put in place together, red, green, blue, once
// all three are complete. Should a write fail (a full disk, say), the source
// is split again one channel at a time, each file put in place before the next
// is begun, so that the files that fit stay whole. Returns "OK", or the
// refusal text when nothing was written. Throws ProcessingError when reading
// or writing fails, the source's header included.
QString SplitBitmap(const QString &path, const QString &redDir, const QString &greenDir, const QString &blueDir,
                    const SplitControl &control = {});

// Writes the three channel files of an open, checked source.
void WriteChannelFiles(SourceFile &source, const QString &path, const BitmapHeader &header,
                       const PixelLayout &layout, const QString &redDir, const QString &greenDir,
                       const QString &blueDir, const SplitControl &control = {});
