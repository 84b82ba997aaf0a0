#include "bitmap/channelsplit.h"
#include "bitmap/splitter.h"
#include "platform/fileio.h"
#include "support/bitmaps.h"
#include "support/childprocess.h"
#include "support/faults.h"
#include "support/scriptedplatform.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString kOk = QStringLiteral("OK");

// A source folder with the three default destination folders.
class SplitterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        for (const char *name : {"Red", "Green", "Blue"})
            ASSERT_TRUE(QDir(m_dir.path()).mkdir(QLatin1String(name)));
    }

    QString source(const QString &name) const { return m_dir.filePath(name); }
    QString output(const char *folder, const char *prefix, const QString &base) const
    {
        return m_dir.filePath(QLatin1String(folder) + QLatin1Char('/') + QLatin1String(prefix) + base +
                              QStringLiteral(".bmp"));
    }

    QString split(const QString &name, const QByteArray &bytes)
    {
        EXPECT_TRUE(WriteFile(source(name), bytes));
        return SplitBitmap(source(name), QStringLiteral("Red"), QStringLiteral("Green"), QStringLiteral("Blue"));
    }

    // A split driven step by step, as a run drives it, in `session`: `stop` is
    // asked before every band, and `beforePlacing` runs once the three are
    // written and readied.
    QString splitIn(OutputSession &session, const QString &path, const std::function<bool()> &stop,
                    const std::function<void()> &beforePlacing = {})
    {
        const SplitPlan plan = PlanSplit(path, ChannelFolders(QStringLiteral("Red"), QStringLiteral("Green"), QStringLiteral("Blue")));
        if (plan.result != kOk)
            return plan.result;
        ChannelWriter files(plan, {0, 1, 2}, session);
        if (!files.writeAll(stop))
            return QStringLiteral("stopped");
        files.finish();
        if (beforePlacing)
            beforePlacing();
        files.place();
        return kOk;
    }

    // Every entry, hidden ones included, of the three destination folders.
    QStringList destinationEntries() const
    {
        QStringList all;
        for (const char *name : {"Red", "Green", "Blue"})
            for (const QString &entry :
                 QDir(m_dir.filePath(QLatin1String(name))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
                all.append(QLatin1String(name) + QLatin1Char('/') + entry);
        return all;
    }

    void expectReference(const QString &base, const QByteArray &bytes)
    {
        const auto expected = ReferenceChannelFiles(bytes);
        EXPECT_EQ(ReadFile(output("Red", "R_", base)), expected.at('R'));
        EXPECT_EQ(ReadFile(output("Green", "G_", base)), expected.at('G'));
        EXPECT_EQ(ReadFile(output("Blue", "B_", base)), expected.at('B'));
    }

    QTemporaryDir m_dir;
    ScriptedPlatform m_platform;
};

TEST_F(SplitterTest, OutputsAreByteExactForEveryPaddingAndStatedSize)
{
    for (std::int32_t width = 1; width <= 8; ++width) {
        for (std::int32_t height : {1, 2, 3, -2}) {
            const std::int32_t exact = (3 * width + width % 4) * std::abs(height);
            for (std::int32_t stated : {0, exact, exact + 13}) {
                SCOPED_TRACE(testing::Message() << width << "x" << height << " stated " << stated);
                TestBitmap shape;
                shape.width = width;
                shape.height = height;
                shape.sizeImage = stated;
                shape.trailing = stated > exact ? stated - exact : 0;
                shape.seed = static_cast<std::uint32_t>(width * 100 + height);
                const QByteArray bytes = MakeBitmap(shape);
                ASSERT_EQ(split(QStringLiteral("img.bmp"), bytes), kOk);
                expectReference(QStringLiteral("img"), bytes);
            }
        }
    }
    EXPECT_TRUE(m_platform.messages.isEmpty());
}

TEST_F(SplitterTest, OnePixelBecomesThreeGreyPixels)
{
    TestBitmap shape;
    QByteArray bytes = MakeBitmap(shape);
    bytes[54] = 10; // blue
    bytes[55] = 20; // green
    bytes[56] = 30; // red
    ASSERT_EQ(split(QStringLiteral("Moon.BMP"), bytes), kOk);
    const QByteArray red = ReadFile(output("Red", "R_", QStringLiteral("Moon")));
    ASSERT_EQ(red.size(), 58);
    EXPECT_EQ(red.mid(54), QByteArray::fromHex("1e1e1e00"));
    EXPECT_EQ(ReadFile(output("Green", "G_", QStringLiteral("Moon"))).mid(54), QByteArray::fromHex("14141400"));
    EXPECT_EQ(ReadFile(output("Blue", "B_", QStringLiteral("Moon"))).mid(54), QByteArray::fromHex("0a0a0a00"));
    // Only the image size differs from the source header.
    EXPECT_EQ(red.left(34), bytes.left(34));
    EXPECT_EQ(ReadI32(red, 34), 4);
    EXPECT_EQ(red.mid(38, 16), bytes.mid(38, 16));
}

TEST_F(SplitterTest, NamesKeepEverythingButTheLastFourCharacters)
{
    const QByteArray bytes = MakeBitmap({});
    ASSERT_EQ(split(QStringLiteral("a.b.bmp"), bytes), kOk);
    ASSERT_EQ(split(QStringLiteral("Ünïcødé 图像.bmp"), bytes), kOk);
    EXPECT_TRUE(QFile::exists(output("Red", "R_", QStringLiteral("a.b"))));
    EXPECT_TRUE(QFile::exists(output("Blue", "B_", QStringLiteral("Ünïcødé 图像"))));
    expectReference(QStringLiteral("Ünïcødé 图像"), bytes);
    // A name holding a wildcard is its own name, even beside a file it would match.
    ASSERT_TRUE(WriteFile(source(QStringLiteral("!x.bmp")), bytes));
    ASSERT_EQ(split(QStringLiteral("?x.bmp"), bytes), kOk);
    EXPECT_TRUE(QFile::exists(output("Green", "G_", QStringLiteral("?x"))));
    EXPECT_FALSE(QFile::exists(output("Green", "G_", QStringLiteral("!x"))));
    // Names made from the source's own spelling are those the path spells, ends not plain or short included.
    for (const QString &path : {QStringLiteral("/d/x.bmp"), QStringLiteral("/d/Ünï 图.BMP"), QStringLiteral("/图/a.bm图"),
                                QStringLiteral("/d/.bmp"), QStringLiteral("/d/bmp"), QStringLiteral("x.bmp")})
        for (const QString &base : {QString(), QStringLiteral("/out/图")}) {
            const ChannelFolders folders(QStringLiteral("Röt"), QStringLiteral("Grün"), QStringLiteral("B"));
            ChannelNames names; // a copy holds the names that the one made held: made in one piece, they are shared
            {
                const ChannelNames made = ChannelFileNames(path, QFile::encodeName(path), folders, base);
                names = made;
            }
            const Channel channels[3] = {Channel::Red, Channel::Green, Channel::Blue};
            for (std::size_t k = 0; k < 3; ++k)
                EXPECT_EQ(names[k], QFile::encodeName(ChannelFilePath(path, folders.names[k], channels[k], base)))
                    << qPrintable(path) << " " << qPrintable(base) << " " << k;
        }
}

// A small source is read once, when it is planned, and its band is written
// from those bytes on the thread that planned it; a plan written after that
// thread read another source, or on another thread, reads its source again.
// Each source is rewritten after its plan, so the outputs tell which happened.
TEST_F(SplitterTest, ASmallSourceIsWrittenAsPlannedOnlyFromTheBytesItsThreadStillHolds)
{
    const ChannelFolders folders(QStringLiteral("Red"), QStringLiteral("Green"), QStringLiteral("Blue"));
    const auto image = [](std::uint32_t seed) {
        TestBitmap shape;
        shape.width = 9;
        shape.height = 7;
        shape.seed = seed;
        return MakeBitmap(shape);
    };
    const auto plan = [&](const char *name, const QByteArray &bytes) {
        EXPECT_TRUE(WriteFile(source(QLatin1String(name)), bytes));
        return PlanSplit(source(QLatin1String(name)), folders);
    };
    OutputSession session;
    const auto write = [&session](const SplitPlan &planned) {
        ChannelWriter files(planned, {0, 1, 2}, session);
        files.writeAll();
        files.finish();
        files.place();
    };
    const SplitPlan a = plan("a.bmp", image(1));
    const QByteArray b0 = image(2);
    const SplitPlan b = plan("b.bmp", b0);
    const QByteArray a1 = image(3), b1 = image(4);
    ASSERT_TRUE(WriteFile(source(QStringLiteral("a.bmp")), a1));
    ASSERT_TRUE(WriteFile(source(QStringLiteral("b.bmp")), b1));
    write(b); // its bytes are still this thread's last read
    expectReference(QStringLiteral("b"), b0);
    write(a); // this thread read b since
    expectReference(QStringLiteral("a"), a1);

    const SplitPlan c = plan("c.bmp", image(5));
    const QByteArray c1 = image(6);
    ASSERT_TRUE(WriteFile(source(QStringLiteral("c.bmp")), c1));
    std::thread([&] {
        // Another thread whose buffer has been filled as often as the planning one's.
        for (SplitPlan d = plan("d.bmp", image(7)); d.wholeFill < c.wholeFill;)
            d = PlanSplit(source(QStringLiteral("d.bmp")), folders);
        write(c);
    }).join();
    expectReference(QStringLiteral("c"), c1);
}

TEST_F(SplitterTest, RowsWiderThanABandAreSplitInPieces)
{
    for (std::int32_t width : {400000, 400001, 349527}) {
        TestBitmap shape;
        shape.width = width;
        shape.height = 2;
        const QByteArray bytes = MakeBitmap(shape);
        ASSERT_EQ(split(QStringLiteral("wide.bmp"), bytes), kOk);
        expectReference(QStringLiteral("wide"), bytes);
    }
}

struct Refusal
{
    const char *name;
    TestBitmap shape;
    std::function<void(QByteArray &)> damage;
    const char *text;
};

TEST_F(SplitterTest, MalformedGeometryIsRefusedAndWritesNothing)
{
    const auto field = [](int offset, std::int32_t value) {
        return [=](QByteArray &b) { PutI32(b, offset, value); };
    };
    const std::vector<Refusal> cases = {
        {"width_zero", {}, field(18, 0), "Bitmap width is not positive. "},
        {"width_negative", {}, field(18, -4), "Bitmap width is not positive. "},
        {"height_zero", {}, field(22, 0), "Bitmap height is zero or out of range. "},
        {"height_int_min", {}, field(22, std::numeric_limits<std::int32_t>::min()),
         "Bitmap height is zero or out of range. "},
        {"rows_over_2gib", {}, [](QByteArray &b) { PutI32(b, 18, 100000); PutI32(b, 22, 100000); },
         "Bitmap is too large. "},
        {"row_over_2gib", {}, [](QByteArray &b) { PutI32(b, 18, 0x7fffffff); }, "Bitmap is too large. "},
        {"info_header_short", {}, field(14, 16), "Bitmap header sizes are invalid. "},
        {"pixels_inside_header", {}, field(10, 40), "Bitmap header sizes are invalid. "},
        {"pixels_inside_core_header", {.offBits = 26, .infoSize = 12}, field(10, 25),
         "Bitmap header sizes are invalid. "},
        {"pixels_negative_offset", {}, field(10, -1), "Bitmap header sizes are invalid. "},
        {"pixels_past_end", {}, field(10, 5000), "Bitmap file is truncated. "},
        {"truncated_rows", {4, 4}, [](QByteArray &b) { b.chop(1); }, "Bitmap file is truncated. "},
        {"header_refused", {.bitCount = 8, .compression = 1}, [](QByteArray &) {},
         "Not a 24 bit bitmap. Bitmap is compressed. "},
        {"core_8_bit", {.offBits = 26 + 768, .infoSize = 12, .bitCount = 8}, [](QByteArray &) {},
         "Not a 24 bit bitmap. "},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray bytes = MakeBitmap(c.shape);
        c.damage(bytes);
        const QString name = QLatin1String(c.name) + QStringLiteral(".bmp");
        EXPECT_EQ(split(name, bytes), QLatin1String(c.text));
    }
    EXPECT_TRUE(destinationEntries().isEmpty());
    EXPECT_TRUE(m_platform.messages.isEmpty());
}

TEST_F(SplitterTest, StatedSizeTooSmallIsReplacedAndTooLargeIsCutToTheFile)
{
    TestBitmap shape;
    shape.width = 3;
    shape.height = 2;  // rows need 24 bytes
    QByteArray red;
    // The field is signed: a negative size is smaller than any rows need.
    for (const std::int32_t stated : {5, -1, std::numeric_limits<std::int32_t>::min()}) {
        SCOPED_TRACE(stated);
        shape.sizeImage = stated;
        shape.trailing = 64;
        ASSERT_EQ(split(QStringLiteral("small.bmp"), MakeBitmap(shape)), kOk);
        red = ReadFile(output("Red", "R_", QStringLiteral("small")));
        EXPECT_EQ(red.size(), 54 + 24);
        EXPECT_EQ(ReadI32(red, 34), 24);
    }

    shape.sizeImage = 1000;
    shape.trailing = 10; // the file holds 34 bytes after the offset
    ASSERT_EQ(split(QStringLiteral("large.bmp"), MakeBitmap(shape)), kOk);
    red = ReadFile(output("Red", "R_", QStringLiteral("large")));
    EXPECT_EQ(red.size(), 54 + 34);
    EXPECT_EQ(ReadI32(red, 34), 34);
    EXPECT_EQ(red.right(10), QByteArray(10, '\0'));
}

TEST_F(SplitterTest, PixelsAfterAColourTableOrAnotherHeaderGiveStandardFiles)
{
    struct Layout
    {
        std::int32_t offBits, infoSize;
    };
    for (const Layout layout : {Layout{1078, 40}, Layout{138, 124}, Layout{60, 40}, Layout{26, 12}, Layout{31, 12}}) {
        SCOPED_TRACE(layout.offBits);
        TestBitmap shape;
        shape.width = 5;
        shape.height = 3;
        shape.offBits = layout.offBits;
        shape.infoSize = layout.infoSize;
        ASSERT_EQ(split(QStringLiteral("pal.bmp"), MakeBitmap(shape)), kOk);
        // The outputs of the same pixels in a plain file, less what a standard
        // header drops (the colour counts) or a core header lacks (the resolution).
        shape.offBits = 54;
        shape.infoSize = 40;
        QByteArray plain = MakeBitmap(shape);
        PutI32(plain, 46, 0);
        PutI32(plain, 50, 0);
        if (layout.infoSize == 12) {
            PutI32(plain, 38, 0);
            PutI32(plain, 42, 0);
        }
        expectReference(QStringLiteral("pal"), plain);
    }
}

// The older files stay open until all three are replaced: a file system that
// frees their blocks as they are renamed over would part the three renames.
TEST_F(SplitterTest, OlderLongerOutputsAreReplacedWholeAndFreedOnlyOnceAllThreeAreInPlace)
{
    for (const auto &[folder, prefix] : {std::pair{"Red", "R_"}, {"Green", "G_"}, {"Blue", "B_"}})
        ASSERT_TRUE(WriteFile(output(folder, prefix, QStringLiteral("x")), QByteArray(5000, 'z')));
    const auto olderStillOpen = [this] {
        int open = 0;
        for (int fd = 0; fd < 1024; ++fd) {
            char target[4096];
            const ssize_t n = ::readlink(qPrintable(QStringLiteral("/proc/self/fd/%1").arg(fd)), target, sizeof target);
            const QString path = QString::fromLocal8Bit(target, n < 0 ? 0 : n);
            open += path.startsWith(m_dir.path()) && path.endsWith(QStringLiteral(".bmp (deleted)"));
        }
        return open;
    };
    std::vector<int> atRenames;
    SetFault([&](FaultStep step, std::size_t) {
        if (step == FaultStep::Rename)
            atRenames.push_back(olderStillOpen());
        return 0;
    });
    ASSERT_EQ(split(QStringLiteral("x.bmp"), MakeBitmap({})), kOk);
    SetFault({});
    EXPECT_EQ(atRenames, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(olderStillOpen(), 0);
    EXPECT_EQ(ReadFile(output("Red", "R_", QStringLiteral("x"))).size(), 58);
    EXPECT_EQ(destinationEntries().size(), 3);
}

// Only a lack of space has the channels written again one at a time: any
// other failure leaves all three older outputs as they were.
TEST_F(SplitterTest, FailureOnGreenLeavesEveryOlderOutputIntact)
{
    const QByteArray older("older");
    ASSERT_TRUE(WriteFile(output("Red", "R_", QStringLiteral("x")), older));
    ASSERT_TRUE(WriteFile(output("Blue", "B_", QStringLiteral("x")), older));
    ASSERT_TRUE(QDir(m_dir.path()).rmdir(QStringLiteral("Green")));
    const QByteArray bytes = MakeBitmap({7, 5});
    ASSERT_TRUE(WriteFile(source(QStringLiteral("x.bmp")), bytes));
    try {
        SplitBitmap(source(QStringLiteral("x.bmp")), QStringLiteral("Red"), QStringLiteral("Green"),
                    QStringLiteral("Blue"));
        FAIL() << "no error";
    } catch (const ProcessingError &error) {
        EXPECT_EQ(error.text(), QStringLiteral("Cannot write \"%1\": No such file or directory.")
                                    .arg(output("Green", "G_", QStringLiteral("x"))));
    }
    EXPECT_EQ(ReadFile(output("Red", "R_", QStringLiteral("x"))), older);
    EXPECT_EQ(ReadFile(output("Blue", "B_", QStringLiteral("x"))), older);
    EXPECT_EQ(destinationEntries(), QStringList({QStringLiteral("Red/R_x.bmp"), QStringLiteral("Blue/B_x.bmp")}));
}

TEST_F(SplitterTest, AProcessKilledMidWriteLeavesNoNewFileAndTheOlderOutputsIntact)
{
    const QString big = source(QStringLiteral("big.bmp"));
    const QByteArray bytes = MakeBitmap({1000, 1400}); // five bands
    ASSERT_TRUE(WriteFile(big, bytes));
    const QByteArray older("older green");
    struct Case
    {
        const char *name;
        bool unnamed;
        bool atTurn; // killed with all three written, just before they are put in place
    };
    // First while no file was ever put in place in these folders, which are then probed.
    for (const Case &c : {Case{"unnamed files, in a new folder, at the turn", true, true},
                          Case{"unnamed files", true, false}, Case{"named temporary files", false, false}}) {
        SCOPED_TRACE(c.name);
        for (const QString &entry : destinationEntries())
            ASSERT_TRUE(QFile::remove(m_dir.filePath(entry)));
        ASSERT_TRUE(WriteFile(output("Green", "G_", QStringLiteral("big")), older));
        SetUnnamedFilesAllowed(c.unnamed);
        ASSERT_TRUE(KillWhenReady([&](const std::function<void()> &ready) {
            int bands = 0;
            OutputSession session;
            splitIn(
                session, big,
                [&] {
                    if (++bands == 4 && !c.atTurn) // three written
                        ready();
                    return false;
                },
                ready);
        }));
        if (!c.unnamed) { // one hidden file per output, which a later run removes
            const QStringList left = destinationEntries();
            EXPECT_EQ(left.filter(QRegularExpression(QStringLiteral("^(Red/.R|Green/.G|Blue/.B)_big\\.bmp\\.\\d+-[0-9a-f]+"
                                                                      "\\.prismora-part$")))
                          .size(),
                      3)
                << left.join(QLatin1Char(' ')).toStdString();
            for (const char *folder : {"Red", "Green", "Blue"})
                RemoveStaleTemporaries(m_dir.filePath(QLatin1String(folder)));
        }
        EXPECT_EQ(destinationEntries(), QStringList{QStringLiteral("Green/G_big.bmp")});
        EXPECT_EQ(ReadFile(output("Green", "G_", QStringLiteral("big"))), older);

        ASSERT_EQ(SplitBitmap(big, QStringLiteral("Red"), QStringLiteral("Green"), QStringLiteral("Blue")), kOk);
        expectReference(QStringLiteral("big"), bytes);
        EXPECT_EQ(destinationEntries().size(), 3);
    }
    SetUnnamedFilesAllowed(true);
}

// The three files are written side by side and appear together, red, green,
// blue; a file abandoned on the way leaves every older output as it was.
TEST_F(SplitterTest, TheThreeFilesAppearTogetherOrNotAtAll)
{
    const QString big = source(QStringLiteral("big.bmp"));
    const QByteArray bytes = MakeBitmap({1000, 1400}); // five bands
    ASSERT_TRUE(WriteFile(big, bytes));
    ASSERT_TRUE(WriteFile(output("Red", "R_", QStringLiteral("big")), "older"));
    int bands = 0;
    OutputSession session;
    EXPECT_EQ(splitIn(session, big, [&] { return ++bands == 4; }), QStringLiteral("stopped"));
    EXPECT_EQ(destinationEntries(), QStringList{QStringLiteral("Red/R_big.bmp")});
    EXPECT_EQ(ReadFile(output("Red", "R_", QStringLiteral("big"))), QByteArray("older"));

    QStringList before;
    ASSERT_EQ(splitIn(session, big, {},
                      [&] { before = destinationEntries().filter(QRegularExpression(QStringLiteral("/[^.]"))); }), // as a reader lists them
              kOk);
    EXPECT_EQ(before, QStringList{QStringLiteral("Red/R_big.bmp")});
    expectReference(QStringLiteral("big"), bytes);
    EXPECT_EQ(destinationEntries().size(), 3);
}

// Some file systems take unnamed files but refuse to link them: the folder
// falls back to named files, and the file in hand still gets into place, its
// bytes copied before the three files are put in place, never while. Any
// other failure of a link is the error it is. A close that fails once the new
// file stands keeps it, rather than leaving the user with neither output.
TEST_F(SplitterTest, LinksRefusedFallBackToNamedFilesAndAFailedCloseKeepsTheNewFile)
{
    const QByteArray bytes = MakeBitmap({7, 5});
    std::atomic<int> links = 0, writesWhilePlacing = 0;
    std::atomic<bool> placing = false;
    SetFault([&](FaultStep step, std::size_t) {
        links += step == FaultStep::Link;
        writesWhilePlacing += step == FaultStep::Write && placing;
        return step == FaultStep::Link ? EPERM : 0;
    });
    OutputSession session; // what it learns of the folders lasts as long as the run
    ASSERT_TRUE(WriteFile(output("Red", "R_", QStringLiteral("x")), "older"));
    ASSERT_TRUE(WriteFile(source(QStringLiteral("x.bmp")), bytes));
    EXPECT_EQ(splitIn(session, source(QStringLiteral("x.bmp")), {}, [&] { placing = true; }), kOk);
    placing = false;
    EXPECT_EQ(writesWhilePlacing, 0);
    expectReference(QStringLiteral("x"), bytes);
    EXPECT_EQ(destinationEntries().size(), 3);
    const int linksTried = links;
    ASSERT_TRUE(WriteFile(source(QStringLiteral("y.bmp")), bytes));
    EXPECT_EQ(splitIn(session, source(QStringLiteral("y.bmp")), {}), kOk);
    EXPECT_EQ(links, linksTried); // the folders now go straight to named files
    EXPECT_EQ(destinationEntries().size(), 6);

    QTemporaryDir other;
    ASSERT_TRUE(QDir(other.path()).mkdir(QStringLiteral("R")));
    ASSERT_TRUE(WriteFile(other.filePath(QStringLiteral("R/R_z.bmp")), "older"));
    ASSERT_TRUE(WriteFile(other.filePath(QStringLiteral("z.bmp")), bytes));
    const auto splitZ = [&](int fault, FaultStep failing) {
        links = 0;
        SetFault([&, fault, failing](FaultStep step, std::size_t) {
            links += step == FaultStep::Link;
            return step == failing ? fault : 0;
        });
        QString error;
        try {
            SplitBitmap(other.filePath(QStringLiteral("z.bmp")), QStringLiteral("R"), QStringLiteral("R"),
                        QStringLiteral("R"));
        } catch (const ProcessingError &e) {
            error = e.text();
        }
        SetFault({});
        return error;
    };
    const QString failed = QStringLiteral("Cannot write \"%1\": Input/output error.")
                               .arg(other.filePath(QStringLiteral("R/R_z.bmp")));
    EXPECT_EQ(splitZ(EIO, FaultStep::Link), failed);
    EXPECT_EQ(ReadFile(other.filePath(QStringLiteral("R/R_z.bmp"))), "older");
    EXPECT_EQ(splitZ(EIO, FaultStep::Close), failed);
    EXPECT_GT(links, 0); // the folder still links unnamed files
    EXPECT_EQ(ReadFile(other.filePath(QStringLiteral("R/R_z.bmp"))), ReferenceChannelFiles(bytes).at('R'));
}

TEST(ExtractChannel, EveryFastPathMatchesThePortableOneForEveryLengthAndChannel)
{
    std::vector<std::uint8_t> source(3 * 200 + 8);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint8_t>(i * 7 + 3);
    std::vector<ChannelExtractor> paths = FastChannelExtractors();
    paths.push_back({"dispatched", ExtractChannel});
    for (const ChannelExtractor &path : paths) {
        for (std::size_t pixels = 0; pixels <= 200; ++pixels) {
            for (Channel channel : {Channel::Blue, Channel::Green, Channel::Red}) {
                std::vector<std::uint8_t> fast(3 * pixels + 8, 0xCC), portable(3 * pixels + 8, 0xCC);
                path.extract(source.data(), fast.data(), pixels, channel);
                ExtractChannelPortable(source.data(), portable.data(), pixels, channel);
                ASSERT_EQ(fast, portable) << path.name << ", " << pixels << " pixels, channel " << static_cast<int>(channel);
            }
        }
    }
}

} // namespace
