#include "bitmap/splitter.h"
#include "support/bitmaps.h"
#include "support/scriptedplatform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const QString kSuite = QStringLiteral(PRISMORA_BMPSUITE_DIR);

// Every file of the public corpus goes through the splitter in a scratch copy
// of its folder; exactly the four sound 24-bit files give outputs.
TEST(BmpSuite, OnlyTheSoundTwentyFourBitFilesGiveOutputs)
{
    const QStringList accepted = {QStringLiteral("g/rgb24.bmp"), QStringLiteral("g/rgb24pal.bmp"),
                                  QStringLiteral("q/rgb24largepal.bmp"), QStringLiteral("q/rgb24lprof.bmp")};
    QTemporaryDir scratch;
    int seen = 0;
    for (const char *group : {"g", "q", "b"}) {
        const QString folder = scratch.filePath(QLatin1String(group));
        ASSERT_TRUE(QDir().mkpath(folder));
        for (const char *name : {"Red", "Green", "Blue"})
            ASSERT_TRUE(QDir(folder).mkdir(QLatin1String(name)));
        QDir source(kSuite + QLatin1Char('/') + QLatin1String(group));
        for (const QString &file : source.entryList({QStringLiteral("*.bmp")}, QDir::Files, QDir::Name)) {
            ++seen;
            const QString relative = QLatin1String(group) + QLatin1Char('/') + file;
            SCOPED_TRACE(qPrintable(relative));
            const QByteArray bytes = ReadFile(source.filePath(file));
            const QString copy = folder + QLatin1Char('/') + file;
            ASSERT_TRUE(WriteFile(copy, bytes));
            const QString result = SplitBitmap(copy, QStringLiteral("Red"), QStringLiteral("Green"),
                                               QStringLiteral("Blue"));
            const QString base = file.chopped(4);
            const QString red = folder + QStringLiteral("/Red/R_") + base + QStringLiteral(".bmp");
            if (!accepted.contains(relative)) {
                EXPECT_NE(result, QStringLiteral("OK"));
                if (ReadI32(bytes, 14) == 12) { // the corpus's core-header files are all 8-bit
                    EXPECT_EQ(result, QStringLiteral("Not a 24 bit bitmap. "));
                }
                EXPECT_FALSE(QFile::exists(red));
                continue;
            }
            ASSERT_EQ(result, QStringLiteral("OK"));
            const std::pair<const char *, int> outputs[] = {{"/Red/R_", 2}, {"/Green/G_", 1}, {"/Blue/B_", 0}};
            for (const auto &[prefix, channel] : outputs) {
                const QByteArray out = ReadFile(folder + QLatin1String(prefix) + base + QStringLiteral(".bmp"));
                ASSERT_EQ(out.size(), 54 + 24576);
                EXPECT_EQ(ChannelValues(out, 0), ChannelValues(bytes, channel));
                EXPECT_EQ(ChannelValues(out, 1), ChannelValues(bytes, channel));
                EXPECT_EQ(ChannelValues(out, 2), ChannelValues(bytes, channel));
            }
        }
    }
    EXPECT_EQ(seen, 88);
}

} // namespace
