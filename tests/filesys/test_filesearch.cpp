#include "filesys/filesearch.h"
#include "platform/findfiles.h"
#include "support/bitmaps.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(MatchesPattern, WildcardsAndLetterCase)
{
    struct Case
    {
        const char *name, *pattern;
        bool matches;
    };
    const Case cases[] = {
        {"a.bmp", "*.bmp", true},       {"A.BMP", "*.bmp", true},     {"a.Bmp", "*.bmp", true},
        {".bmp", "*.bmp", true},        {"a.bmpx", "*.bmp", false},   {"abmp", "*.bmp", false},
        {"a.bmp.txt", "*.bmp", false},  {"a.b.bmp", "*.bmp", true},   {"noext", "*.*", true},
        {"ab", "a?", true},             {"a", "a?", false},           {"Ünï.BMP", "ü*.bmp", true},
        {"x.bmp.bmp", "*.bmp", true},   {"aXbXc", "a*b*c", true},     {"aXbX", "a*b*c", false},
        {"@.bmp", "`.bmp", false},      {"[.bmp", "{.bmp", false},    {"\u212A.bmp", "k.BMP", true},
        {"bmp", "*.bmp", false},        {"\u212A.bmp", "*k.bmp", true}, {"xa.bmp", "*A.BMP", true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(MatchesPattern(QString::fromUtf8(c.name), QString::fromUtf8(c.pattern)), c.matches)
            << c.name << " ~ " << c.pattern;
}

class FindBitmapsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char *name : {"b.bmp", "A.BMP", "c.Bmp", ".hidden.bmp", "notes.txt", "d.bmpx"})
            ASSERT_TRUE(WriteFile(m_dir.filePath(QLatin1String(name)), "x"));
        ASSERT_TRUE(QDir(m_dir.path()).mkpath(QStringLiteral("folder.bmp")));
        ASSERT_TRUE(QDir(m_dir.path()).mkpath(QStringLiteral("Red")));
        ASSERT_TRUE(WriteFile(m_dir.filePath(QStringLiteral("Red/R_b.bmp")), "x"));
    }
    QString base() const { return m_dir.path() + QLatin1Char('/'); }
    QTemporaryDir m_dir;
};

TEST_F(FindBitmapsTest, ListsMatchingPlainFilesInNameOrderIgnoringCase)
{
    for (const QString &folder : {m_dir.path(), m_dir.path() + QLatin1Char('/')}) {
        FileList = QStringList{QString()};
        FindBitmaps(folder);
        EXPECT_EQ(FileList, QStringList({base() + QStringLiteral(".hidden.bmp"), base() + QStringLiteral("A.BMP"),
                                         base() + QStringLiteral("b.bmp"), base() + QStringLiteral("c.Bmp")}));
    }
}

TEST_F(FindBitmapsTest, ASearchReplacesALongerEarlierListAndCountsItsMatches)
{
    FileList = QStringList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4"),
                           QStringLiteral("5"), QStringLiteral("6")};
    FindBitmaps(m_dir.path());
    EXPECT_EQ(FileList.size(), 4);

    FileSearch search;
    search.FolderPath = m_dir.path();
    search.Pattern = QStringLiteral("*.txt");
    SearchFolder(search);
    EXPECT_EQ(search.MatchCount, 1);
    EXPECT_EQ(FileList, QStringList{base() + QStringLiteral("notes.txt")});
}

TEST_F(FindBitmapsTest, EmptyOrMissingFoldersLeaveTheListAlone)
{
    const QStringList before{QString()};
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("empty")));
    for (const QString &folder : {m_dir.filePath(QStringLiteral("empty")), m_dir.filePath(QStringLiteral("missing")),
                                  m_dir.filePath(QStringLiteral("notes.txt"))}) {
        FileList = before;
        FindBitmaps(folder);
        EXPECT_EQ(FileList, before) << qPrintable(folder);
    }
}

TEST_F(FindBitmapsTest, RecursionWhenAskedFindsSubfolders)
{
    FileList = QStringList{QString()};
    FileSearch search;
    search.Recurse = true;
    search.FolderPath = m_dir.path();
    search.Pattern = QStringLiteral("R_*.bmp");
    SearchFolder(search);
    EXPECT_EQ(FileList, QStringList{base() + QStringLiteral("Red/R_b.bmp")});
    EXPECT_EQ(search.FolderPath, m_dir.path());
}

TEST(FindBitmaps, NamesAreOrderedByTheirUpperCaseForms)
{
    QTemporaryDir dir;
    // '[' and '_' lie between the upper- and the lower-case letters; past
    // them, "\u00e9" is U+00C9 upper-cased, "\u00ff" U+0178, after U+0100.
    for (const char *name : {"_a.bmp", "\u00ff.bmp", "b.bmp", "[x.bmp", "\u0100.bmp", "Z.BMP", "a.bmp", "\u00e9.bmp",
                             "B.bmp"})
        ASSERT_TRUE(WriteFile(dir.filePath(QString::fromUtf8(name)), QByteArray()));
    FileList = QStringList{QString()};
    FindBitmaps(dir.path());
    QStringList names;
    for (const QString &path : FileList)
        names.append(QFileInfo(path).fileName());
    EXPECT_EQ(names, QStringList({QStringLiteral("a.bmp"), QStringLiteral("B.bmp"), QStringLiteral("b.bmp"),
                                  QStringLiteral("Z.BMP"), QStringLiteral("[x.bmp"), QStringLiteral("_a.bmp"),
                                  QStringLiteral("\u00e9.bmp"), QStringLiteral("\u0100.bmp"), QStringLiteral("\u00ff.bmp")}));
}

} // namespace
