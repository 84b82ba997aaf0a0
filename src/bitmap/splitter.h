#pragma once

#include "bitmap/bitmapheader.h"

#include <QString>
#include <cstdint>
#include <exception>
#include <functional>

class Platform;
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

// Called between bands of a large image, so that the caller can keep a window
// alive. It may throw to abandon the file: the channel file in progress is
// then dropped and the older one, if any, stays as it was.
using BandHook = std::function<void()>;

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

// The refusal for a file that holds fewer bytes than its header needs.
inline QString TruncatedBitmapText()
{
    return QStringLiteral("Bitmap file is truncated. ");
}

// "OK" with `layout` filled in when a header that passed CheckBitmapHeader
// describes pixels that the file really holds; otherwise a refusal text in the
// style of CheckBitmapHeader. All arithmetic is 64-bit and nothing is allocated.
QString CheckBitmapGeometry(const BitmapHeader &header, std::int64_t fileSize, PixelLayout *layout);

// The header every channel file starts with.
BitmapHeader ChannelFileHeader(const BitmapHeader &source, const PixelLayout &layout);

// Splits one source into R_, G_ and B_ files in the three named subfolders of
// its folder: the red file complete and in place before the green one is
// begun, the green before the blue. Returns "OK", or the refusal text when
// nothing was written. Throws ProcessingError when reading or writing fails;
// the channel files finished before the failure stay.
QString SplitBitmap(const QString &path, const QString &redDir, const QString &greenDir, const QString &blueDir,
                    Platform &platform, const BandHook &onBand = {});

// Writes the three channel files of an open, checked source.
void WriteChannelFiles(SourceFile &source, const QString &path, const BitmapHeader &header,
                       const PixelLayout &layout, const QString &redDir, const QString &greenDir,
                       const QString &blueDir, const BandHook &onBand = {});
