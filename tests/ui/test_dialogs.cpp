#include "support/bitmaps.h"
#include "support/scriptedplatform.h"
#include "support/testenv.h"
#include "support/widgets.h"
#include "ui/about/frmabout.h"
#include "ui/addfolder/frmaddfolder.h"
#include "ui/main/frmmain.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QHash>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

dev_t deviceOf(const QString &path)
{
    struct stat info = {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0) << qPrintable(path);
    return info.st_dev;
}

QString lastPath()
{
    return PrismoraSettings().value(QStringLiteral("AddFolders/LastPath"), QStringLiteral("<none>")).toString();
}

class AddFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ClearSettings();
        ASSERT_TRUE(QDir().mkpath(m_dir.filePath(QStringLiteral("photos/2024"))));
        ASSERT_TRUE(QDir().mkpath(m_dir.filePath(QStringLiteral("photos/.hidden"))));
        ASSERT_TRUE(QDir().mkpath(m_dir.filePath(QStringLiteral("scans"))));
    }

    // The dialog on its own, shown without a modal loop so the test can drive it.
    frmAddFolder &open()
    {
        m_dialog = std::make_unique<frmAddFolder>(
            m_platform, nullptr, [this] { return m_list; }, [this](const QString &path) { m_list.append(path); });
        m_dialog->show();
        return *m_dialog;
    }

    template <typename T>
    T *child(const char *name) const
    {
        return m_dialog->findChild<T *>(QLatin1String(name));
    }
    QStringList entries() const { return ItemTexts(child<QListWidget>("Dir1")); }
    void openEntry(const QString &text)
    {
        auto *list = child<QListWidget>("Dir1");
        const auto found = list->findItems(text, Qt::MatchEndsWith);
        ASSERT_EQ(found.size(), 1) << qPrintable(text);
        list->setCurrentItem(found.first());
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Return);
    }
    QString path(const char *relative) const { return m_dir.filePath(QLatin1String(relative)); }

    QTemporaryDir m_dir;
    ScriptedPlatform m_platform;
    QStringList m_list;
    std::unique_ptr<frmAddFolder> m_dialog;
};

// First use, or a stored folder that is gone or is a plain file: the home
// folder on its volume, and the stored path stays as it was.
TEST_F(AddFolderTest, WithoutAUsableStoredFolderItStartsAtHome)
{
    ASSERT_TRUE(WriteFile(path("file.txt"), "x"));
    for (const QString &stored : {QString(), path("deleted"), path("file.txt")}) {
        SCOPED_TRACE(qPrintable(stored));
        if (!stored.isEmpty())
            PrismoraSettings().setValue(QStringLiteral("AddFolders/LastPath"), stored);
        frmAddFolder &d = open();
        EXPECT_EQ(d.windowTitle(), QStringLiteral("Add Folder"));
        EXPECT_EQ(d.path(), QDir::homePath());
        EXPECT_EQ(d.drive(), entries().first());
        EXPECT_EQ(lastPath(), stored.isEmpty() ? QStringLiteral("<none>") : stored);
    }
}

TEST_F(AddFolderTest, ListsTheChainAndTheVisibleSubfoldersAndOpensOnlyOnEnter)
{
    PrismoraSettings().setValue(QStringLiteral("AddFolders/LastPath"), path("photos"));
    frmAddFolder &d = open();
    const QStringList shown = entries();
    // One entry a folder, from the volume's root down: the top is "/" or a
    // mount point, and no folder below it is on another device.
    const QString top = shown.first();
    const QString below = QDir(top).relativeFilePath(path("photos"));
    EXPECT_EQ(shown.mid(1), below.split(QLatin1Char('/')) + QStringList{QStringLiteral("2024")});
    const QList<QStorageInfo> mounts = QStorageInfo::mountedVolumes();
    EXPECT_TRUE(top == QLatin1String("/") || deviceOf(top) != deviceOf(QFileInfo(top).path())
                || std::any_of(mounts.cbegin(), mounts.cend(),
                               [&](const QStorageInfo &mount) { return mount.rootPath() == top; }))
        << qPrintable(top);
    for (QString at = path("photos"); at.size() > top.size(); at = QFileInfo(at).path())
        EXPECT_EQ(deviceOf(at), deviceOf(QFileInfo(at).path())) << qPrintable(at);
    EXPECT_EQ(d.drive(), top);
    EXPECT_FALSE(shown.contains(QStringLiteral(".hidden")));
    // Depth is shown by indentation, not by blanks in the names: each entry is
    // drawn further right than the one above (one subfolder: it is the last row).
    auto *folders = child<QListWidget>("Dir1");
    folders->setCurrentItem(nullptr); // a highlight would hide where an entry begins
    const QImage picture = folders->viewport()->grab().toImage();
    const QRgb blank = folders->palette().color(QPalette::Base).rgb();
    for (int row = 0, above = -1; row < folders->count(); ++row) {
        EXPECT_EQ(folders->item(row)->text(), folders->item(row)->text().trimmed());
        const QRect entry = folders->visualItemRect(folders->item(row));
        int drawn = entry.right(); // the entry's leftmost drawn column
        for (int y = entry.top(); y <= entry.bottom(); ++y)
            for (int x = entry.left(); x < drawn; ++x)
                if (picture.pixel(x, y) != blank)
                    drawn = x;
        EXPECT_GT(drawn, above) << "row " << row;
        above = drawn;
    }
    folders->setFocus();
    folders->keyboardSearch(QStringLiteral("20"));
    EXPECT_EQ(folders->currentItem()->text(), QStringLiteral("2024"));
    // Selecting alone changes nothing; Enter opens.
    folders->setCurrentRow(folders->count() - 1);
    EXPECT_EQ(d.path(), path("photos"));
    openEntry(QStringLiteral("2024"));
    EXPECT_EQ(d.path(), path("photos/2024"));
    EXPECT_TRUE(child<QLabel>("lblPath")->text().endsWith(QStringLiteral("2024")));
    openEntry(QFileInfo(m_dir.path()).fileName());
    EXPECT_EQ(d.path(), m_dir.path());
    EXPECT_TRUE(entries().contains(QStringLiteral("scans")));
}

// An entry differing only in letter case is no duplicate; adding the same
// folder twice beeps, and both times the last path is written.
TEST_F(AddFolderTest, AddTwiceBeepsTheSecondTimeAndWritesTheLastPathBothTimes)
{
    PrismoraSettings().setValue(QStringLiteral("AddFolders/LastPath"), path("scans"));
    m_list = {path("SCANS")};
    open();
    auto *add = child<QPushButton>("cmdAdd");
    add->click();
    EXPECT_EQ(m_list, QStringList({path("SCANS"), path("scans")}));
    EXPECT_EQ(m_platform.beeps, 0);
    PrismoraSettings().setValue(QStringLiteral("AddFolders/LastPath"), QStringLiteral("elsewhere"));
    add->click();
    EXPECT_EQ(m_list, QStringList({path("SCANS"), path("scans")}));
    EXPECT_EQ(m_platform.beeps, 1);
    EXPECT_EQ(lastPath(), path("scans"));
    EXPECT_TRUE(m_dialog->isVisible());
}

TEST_F(AddFolderTest, EnterAndEscapeNeitherAddNorClose)
{
    open();
    for (QWidget *target : {static_cast<QWidget *>(m_dialog.get()), static_cast<QWidget *>(child<QPushButton>("cmdAdd")),
                            static_cast<QWidget *>(child<QPushButton>("cmdCancel")),
                            static_cast<QWidget *>(child<QComboBox>("Drive1"))}) {
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Escape);
        QTest::keyClick(target, Qt::Key_Return);
    }
    EXPECT_TRUE(m_dialog->isVisible());
    EXPECT_TRUE(m_list.isEmpty());
    EXPECT_EQ(lastPath(), QStringLiteral("<none>"));
}

// Choosing the volume already shown keeps the folder; one that cannot be read
// beeps, and the folder and the volume shown stay as they were.
TEST_F(AddFolderTest, ChoosingAVolumeKeepsTheFolderOrBeepsWhenItCannotBeRead)
{
    PrismoraSettings().setValue(QStringLiteral("AddFolders/LastPath"), path("photos/2024"));
    frmAddFolder &d = open();
    const QString drive = d.drive();
    auto *drives = child<QComboBox>("Drive1");
    Q_EMIT drives->activated(drives->currentIndex());
    EXPECT_EQ(d.path(), path("photos/2024"));
    EXPECT_EQ(m_platform.beeps, 0);
    drives->addItem(QStringLiteral("/no/such/volume"), QStringLiteral("/no/such/volume"));
    drives->setCurrentIndex(drives->count() - 1);
    Q_EMIT drives->activated(drives->count() - 1);
    EXPECT_EQ(m_platform.beeps, 1);
    EXPECT_EQ(d.path(), path("photos/2024"));
    EXPECT_EQ(d.drive(), drive);
}

TEST_F(AddFolderTest, AFolderDeletedMeanwhileGivesWayToItsNearestParentAndIsNeverAdded)
{
    PrismoraSettings().setValue(QStringLiteral("AddFolders/LastPath"), path("photos/2024"));
    frmAddFolder &d = open();
    ASSERT_TRUE(QDir(path("photos")).removeRecursively());
    // Still shown: "&Add" beeps and adds nothing.
    child<QPushButton>("cmdAdd")->click();
    EXPECT_EQ(m_platform.beeps, 1);
    EXPECT_TRUE(m_list.isEmpty());
    // Hidden and shown again: the nearest folder above that still exists.
    child<QPushButton>("cmdCancel")->click();
    QTimer::singleShot(0, [&d] { d.hide(); });
    d.showModal();
    EXPECT_EQ(d.path(), m_dir.path());
    EXPECT_EQ(d.drive(), entries().first());
    EXPECT_TRUE(entries().contains(QStringLiteral("scans")));
    EXPECT_FALSE(entries().contains(QStringLiteral("photos")));
}

// Through the main window: the real modal showing, driven from inside its loop.
class AddFolderFromMainTest : public AddFolderTest
{
protected:
    void whileModal(const std::function<void(QWidget *)> &act)
    {
        QTimer::singleShot(0, [act] {
            QWidget *modal = QApplication::activeModalWidget();
            ASSERT_NE(modal, nullptr);
            act(modal);
        });
    }
};

TEST_F(AddFolderFromMainTest, CloseHidesAndKeepsTheFolderTheCloseControlDestroysWithoutWriting)
{
    PrismoraSettings().setValue(QStringLiteral("AddFolders/LastPath"), path("photos"));
    frmMain main(m_platform);
    main.show();
    auto *cmdAdd = main.findChild<QPushButton *>(QStringLiteral("cmdAdd"));
    QPoint firstPosition;
    whileModal([&](QWidget *dialog) {
        firstPosition = dialog->pos();
        EXPECT_EQ(dialog->pos(), main.pos() + QPoint(133, 167));
        QTest::keyClick(dialog->findChild<QListWidget *>(QStringLiteral("Dir1")), Qt::Key_Down);
        dialog->findChild<QPushButton *>(QStringLiteral("cmdAdd"))->click();
        dialog->findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
    });
    cmdAdd->click();
    EXPECT_EQ(main.folders(), QStringList{path("photos")});
    EXPECT_EQ(lastPath(), path("photos"));

    // Reopened: the same dialog, folder and position, and a new subfolder shows.
    ASSERT_TRUE(QDir().mkpath(path("photos/new")));
    QPointer<QWidget> kept;
    whileModal([&](QWidget *dialog) {
        kept = dialog;
        auto *list = dialog->findChild<QListWidget *>(QStringLiteral("Dir1"));
        EXPECT_FALSE(list->findItems(QStringLiteral("new"), Qt::MatchEndsWith).isEmpty());
        EXPECT_EQ(dialog->pos(), firstPosition);
        // Browse elsewhere, then leave by the close control.
        list->setCurrentItem(list->findItems(QStringLiteral("new"), Qt::MatchEndsWith).first());
        QTest::keyClick(list, Qt::Key_Return);
        dialog->close();
    });
    cmdAdd->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(kept.isNull());
    EXPECT_EQ(lastPath(), path("photos"));

    // A fresh dialog starts at the stored folder, not the one browsed last.
    whileModal([&](QWidget *dialog) {
        EXPECT_NE(dialog, kept.data());
        EXPECT_EQ(static_cast<frmAddFolder *>(dialog)->path(), path("photos"));
        dialog->findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
    });
    cmdAdd->click();
    main.close();
}

TEST_F(AddFolderFromMainTest, ExitDestroysTheHiddenDialogToo)
{
    auto main = std::make_unique<frmMain>(m_platform);
    main->show();
    QPointer<QWidget> dialog;
    whileModal([&](QWidget *modal) {
        dialog = modal;
        modal->findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
    });
    main->findChild<QPushButton *>(QStringLiteral("cmdAdd"))->click();
    ASSERT_FALSE(dialog.isNull());
    main->findChild<QAction *>(QStringLiteral("mnuFileExit"))->trigger();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialog.isNull());
    EXPECT_FALSE(main->isVisible());
    EXPECT_TRUE(m_platform.messages.isEmpty()); // nothing unsaved: no question on the way out
}

TEST(AboutBox, ShowsTitleAndVersionAndHandsTheLinksToTheDesktop)
{
    ScriptedPlatform platform;
    frmAbout about(platform);
    about.setAttribute(Qt::WA_DeleteOnClose, false);
    about.show();
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Prismora"));
    EXPECT_EQ(about.findChild<QLabel *>(QStringLiteral("lblVersion"))->text(), QStringLiteral("Version 2.1.0"));
    EXPECT_FALSE(about.findChild<QLabel *>(QStringLiteral("picIcon"))->pixmap().isNull());
    // The dedication's background, its most frequent colour, is the window's own.
    const QImage dedication = about.findChild<QLabel *>(QStringLiteral("lblDescription"))->grab().toImage();
    QHash<QRgb, int> colours;
    for (int y = 0; y < dedication.height(); ++y)
        for (int x = 0; x < dedication.width(); ++x)
            ++colours[dedication.pixel(x, y)];
    EXPECT_EQ(std::max_element(colours.keyValueBegin(), colours.keyValueEnd(),
                               [](auto a, auto b) { return a.second < b.second; })->first,
              about.palette().color(QPalette::Window).rgb());
    QTest::mouseClick(about.findChild<QLabel *>(QStringLiteral("lblURL")), Qt::LeftButton);
    QTest::mouseClick(about.findChild<QLabel *>(QStringLiteral("lblEmail")), Qt::LeftButton);
    EXPECT_TRUE(about.isVisible());
    EXPECT_EQ(about.focusWidget(), about.findChild<QPushButton *>(QStringLiteral("cmdOK")));
    EXPECT_EQ(platform.opened, QStringList({QStringLiteral("open prismora.example.org"),
                                            QStringLiteral("open mailto:support@prismora.example.org")}));
}

TEST(AboutBox, EnterAndEscapeBothClose)
{
    ScriptedPlatform platform;
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        QPointer<frmAbout> about = new frmAbout(platform);
        QTimer::singleShot(0, [key] { QTest::keyClick(QApplication::activeModalWidget(), key); });
        about->exec();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(about.isNull()) << key;
    }
}

} // namespace
