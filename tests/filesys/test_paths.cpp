#include "filesys/paths.h"
#include "support/bitmaps.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(TrimNull, CutsAtTheFirstNul)
{
    const QChar nul(u'\0');
    EXPECT_EQ(TrimNull(QStringLiteral("name.bmp")), QStringLiteral("name.bmp"));
    EXPECT_EQ(TrimNull(QString(nul) + QStringLiteral("abc")), QString());
    EXPECT_EQ(TrimNull(QStringLiteral("ab") + nul + QStringLiteral("cd") + nul + QStringLiteral("e")),
              QStringLiteral("ab"));
    EXPECT_EQ(TrimNull(QString()), QString());
}

TEST(AddBackslash, AppendsTheSeparatorOnlyWhenMissing)
{
    EXPECT_EQ(AddBackslash(QString()), QStringLiteral("/"));
    EXPECT_EQ(AddBackslash(QStringLiteral("/")), QStringLiteral("/"));
    EXPECT_EQ(AddBackslash(QStringLiteral("/home/a")), QStringLiteral("/home/a/"));
    EXPECT_EQ(AddBackslash(QStringLiteral("/home/a/")), QStringLiteral("/home/a/"));
    EXPECT_EQ(AddBackslash(QStringLiteral("C:\\")), QStringLiteral("C:\\/")); // only the own separator counts
}

TEST(CheckFolderName, QuestionMarkWinsOtherwiseTheLastFoundInTestOrder)
{
    const std::pair<const char *, const char *> cases[] = {
        {"Red", "OK"},       {"", "OK"},          {"   ", "OK"},     {"name.", "OK"},  {"Ünï", "OK"},
        {"a\\b", "\\"},      {"a/b", "/"},        {"a:b", ":"},      {"a*b", "*"},     {"a?b", "?"},
        {"a\"b", "\""},      {"a<b", "<"},        {"a>b", ">"},      {"a|b", "|"},     {"\\<", "<"},
        {"*?|", "?"},        {":*", "*"},         {"?\\", "?"},      {"|\"", "|"},     {"<>:", ">"},
    };
    for (const auto &[name, expected] : cases)
        EXPECT_EQ(CheckFolderName(QString::fromUtf8(name)), QString::fromUtf8(expected)) << name;
}

class PathsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("Folder")));
        ASSERT_TRUE(WriteFile(m_dir.filePath(QStringLiteral("Picture.BMP")), "x"));
        ASSERT_TRUE(WriteFile(m_dir.filePath(QStringLiteral("b.bmp")), "x"));
    }
    QString at(const char *name) const { return m_dir.filePath(QLatin1String(name)); }
    QTemporaryDir m_dir;
};

TEST_F(PathsTest, GetFileNameReportsTheStoredName)
{
    EXPECT_EQ(GetFileName(at("Picture.BMP")), QStringLiteral("Picture.BMP"));
    EXPECT_EQ(GetFileName(at("Folder")), QStringLiteral("Folder"));
    EXPECT_EQ(GetFileName(at("Folder/")), QString());
    EXPECT_EQ(GetFileName(QString()), QString());
    EXPECT_EQ(GetFileName(at("missing.bmp")), QString());
    // A wildcard gives the first match in listing order: letter case ignored.
    EXPECT_EQ(GetFileName(at("*.bmp")), QStringLiteral("b.bmp"));
    EXPECT_EQ(GetFileName(at("p?cture.bmp")), QStringLiteral("Picture.BMP"));
}

TEST_F(PathsTest, FolderExistsCountsPlainFilesAndFileExistsDoesNotCountFolders)
{
    struct Case
    {
        QString path;
        bool folder, file;
    };
    const Case cases[] = {
        {at("Folder"), true, false},        {at("Folder/"), true, false},
        {at("Picture.BMP"), true, true},    {at("missing"), false, false},
        {QString(), false, false},          {QStringLiteral("/"), true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(qPrintable(c.path));
        EXPECT_EQ(FolderExists(c.path), c.folder);
        EXPECT_EQ(FileExists(c.path), c.file);
    }
}

TEST_F(PathsTest, NamesHoldingWildcardsAreTakenAsWritten)
{
    // "!" sorts before "?": a pattern reading would name the wrong file.
    ASSERT_TRUE(WriteFile(at("!x.bmp"), "x"));
    ASSERT_TRUE(WriteFile(at("?x.bmp"), "x"));
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("f*")));
    ASSERT_TRUE(WriteFile(at("fa"), "x"));
    EXPECT_EQ(GetFileName(at("?x.bmp")), QStringLiteral("?x.bmp"));
    EXPECT_FALSE(FileExists(at("f*")));
    EXPECT_TRUE(FolderExists(at("f*")));
    EXPECT_EQ(GetFileName(at("?a")), QStringLiteral("fa")); // no such entry: a pattern
}

} // namespace
