#include "bitmap/bitmapheader.h"
#include "support/bitmaps.h"
#include "support/scriptedplatform.h"

#include <QFile>
#include <QTemporaryDir>
#include <sys/stat.h>
#include <gtest/gtest.h>

namespace {

TEST(BitmapHeader, DecodesEveryFieldAtItsOffsetAndEncodesBack)
{
    std::array<std::uint8_t, kBitmapHeaderBytes> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(0x80 + i); // high bits set: sign handling shows
    const BitmapHeader h = DecodeBitmapHeader(bytes);
    EXPECT_EQ(h.bfType, static_cast<std::int16_t>(0x8180));
    EXPECT_EQ(h.biHeight, static_cast<std::int32_t>(0x99989796));
    EXPECT_EQ(h.biClrImportant, static_cast<std::int32_t>(0xB5B4B3B2));
    EXPECT_EQ(EncodeBitmapHeader(h), bytes);

    // A core header: 16-bit fields from byte 18, width and height unsigned,
    // nothing else.
    bytes[14] = 12;
    bytes[15] = bytes[16] = bytes[17] = 0;
    const BitmapHeader core{.bfType = h.bfType,
                            .bfSize = h.bfSize,
                            .bfReserved1 = h.bfReserved1,
                            .bfReserved2 = h.bfReserved2,
                            .bfOffBits = h.bfOffBits,
                            .biSize = 12,
                            .biWidth = 0x9392,
                            .biHeight = 0x9594,
                            .biPlanes = static_cast<std::int16_t>(0x9796),
                            .biBitCount = static_cast<std::int16_t>(0x9998)};
    EXPECT_EQ(DecodeBitmapHeader(bytes), core);
}

struct CheckCase
{
    std::int16_t type, planes, bits;
    std::int32_t compression;
    const char *expected;
};

class CheckBitmapHeaderTest : public ::testing::TestWithParam<CheckCase>
{
};

TEST_P(CheckBitmapHeaderTest, ReportsEveryFailingTestInOrder)
{
    const CheckCase c = GetParam();
    BitmapHeader h;
    h.bfType = c.type;
    h.biPlanes = c.planes;
    h.biBitCount = c.bits;
    h.biCompression = c.compression;
    EXPECT_EQ(CheckBitmapHeader(h), QString::fromUtf8(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, CheckBitmapHeaderTest,
    ::testing::Values(CheckCase{0x4D42, 1, 24, 0, "OK"},
                      CheckCase{0x424D, 1, 24, 0, "Not a bitmap file. "}, // magic in swapped order
                      CheckCase{0x4D42, 0, 24, 0, "More than one colour plane. "},
                      CheckCase{0x4D42, 2, 24, 0, "More than one colour plane. "},
                      CheckCase{0x4D42, 1, 8, 0, "Not a 24 bit bitmap. "},
                      CheckCase{0x4D42, 1, 8, 1, "Not a 24 bit bitmap. Bitmap is compressed. "},
                      CheckCase{0x4D42, 1, 32, 3, "Not a 24 bit bitmap. Bitmap is compressed. "},
                      CheckCase{0x4D42, 1, 24, 4, "Bitmap is compressed. "},
                      CheckCase{0, 0, 0, 0, "Not a bitmap file. More than one colour plane. Not a 24 bit bitmap. "},
                      CheckCase{0, 3, 16, 3,
                                "Not a bitmap file. More than one colour plane. Not a 24 bit bitmap. "
                                "Bitmap is compressed. "}));

TEST(ReadBitmapHeader, MissingFileIsReportedOnceAndReadsAsZero)
{
    QTemporaryDir dir;
    ScriptedPlatform platform;
    const QString gone = dir.filePath(QStringLiteral("gone.bmp"));
    const BitmapHeader h = ReadBitmapHeader(gone, platform);
    EXPECT_EQ(h, BitmapHeader{});
    ASSERT_EQ(platform.messages.size(), 1);
    EXPECT_EQ(platform.messages[0].title, QStringLiteral("Image Info"));
    EXPECT_EQ(platform.messages[0].text, QStringLiteral("Cannot read \"%1\": No such file or directory.").arg(gone));
    EXPECT_EQ(platform.messages[0].buttons, MsgButtons::Ok);
    EXPECT_EQ(platform.messages[0].icon, MsgIcon::Exclamation);
    EXPECT_EQ(CheckBitmapHeader(h),
              QStringLiteral("Not a bitmap file. More than one colour plane. Not a 24 bit bitmap. "));
}

TEST(ReadBitmapHeader, ShortFileReadsWithZerosAndNoMessage)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("short.bmp"));
    ASSERT_TRUE(WriteFile(path, MakeBitmap({}).left(30)));
    ScriptedPlatform platform;
    const BitmapHeader h = ReadBitmapHeader(path, platform);
    EXPECT_TRUE(platform.messages.isEmpty());
    EXPECT_EQ(h.bfType, kBitmapMagic);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, 0);
    EXPECT_EQ(h.biSizeImage, 0); // bytes 34..37 lie beyond the end
}

TEST(ReadBitmapHeader, FolderAndFifoAreReadFailuresNotHangs)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("pipe.bmp"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ScriptedPlatform platform;
    EXPECT_EQ(ReadBitmapHeader(fifo, platform), BitmapHeader{});
    EXPECT_EQ(ReadBitmapHeader(dir.path(), platform), BitmapHeader{});
    ASSERT_EQ(platform.messages.size(), 2);
    EXPECT_TRUE(platform.messages[0].text.endsWith(QStringLiteral(": Not a regular file.")));
    EXPECT_TRUE(platform.messages[1].text.endsWith(QStringLiteral(": Is a directory.")));
}

} // namespace
