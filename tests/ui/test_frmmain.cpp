#include "support/bitmaps.h"
#include "support/scriptedplatform.h"
#include "support/testenv.h"
#include "support/widgets.h"
#include "ui/main/frmmain.h"
#include "ui/main/options.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

QString stored(const char *key)
{
    return PrismoraSettings().value(QStringLiteral("Main/") + QLatin1String(key), QStringLiteral("<none>")).toString();
}

class MainWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ClearSettings();
    }

    // Creates the window as start-up does; `show` makes it active so focus moves are real.
    frmMain &open(bool show = true)
    {
        m_window = std::make_unique<frmMain>(m_platform);
        if (show) {
            m_window->show();
            m_window->activateWindow();
            EXPECT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
        }
        return *m_window;
    }

    template <typename T>
    T *child(const char *name) const
    {
        T *found = m_window->findChild<T *>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QLineEdit *field(const char *name) const { return child<QLineEdit>(name); }
    QAction *saveItem() const { return child<QAction>("mnuFileSave"); }
    QTabWidget *tabs() const { return child<QTabWidget>("tabMain"); }
    QListWidget *list() const { return child<QListWidget>("lstFolders"); }
    QString statusText() const { return child<QLabel>("stsStatusPanel1")->text(); }

    // Edits a field on the Options tab and moves the focus to the next field.
    void edit(const char *name, const QString &text, const char *focusNext = nullptr)
    {
        tabs()->setCurrentIndex(1);
        QLineEdit *edit = field(name);
        edit->setFocus();
        edit->setText(text);
        if (focusNext)
            field(focusNext)->setFocus();
    }

    void drop(const QStringList &paths)
    {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString &path : paths)
            urls.append(QUrl::fromLocalFile(path));
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list()->viewport(), &enter);
        QDropEvent event(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list()->viewport(), &event);
    }

    QStringList listed() const { return ItemTexts(list()); }

    ScriptedPlatform m_platform;
    std::unique_ptr<frmMain> m_window;
};

TEST_F(MainWindowTest, StartsFromAnEmptyStoreWithDefaultsAndWritesNothing)
{
    frmMain &w = open();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Prismora"));
    EXPECT_EQ(field("txtRedDir")->text(), QStringLiteral("Red"));
    EXPECT_EQ(field("txtGreenDir")->text(), QStringLiteral("Green"));
    EXPECT_EQ(field("txtBlueDir")->text(), QStringLiteral("Blue"));
    EXPECT_EQ(SavedRedDir, QStringLiteral("Red"));
    EXPECT_EQ(SavedBlueDir, QStringLiteral("Blue"));
    EXPECT_FALSE(saveItem()->isEnabled());
    EXPECT_EQ(tabs()->currentIndex(), 0);
    EXPECT_EQ(tabs()->tabText(0), QStringLiteral("Fol&ders"));
    EXPECT_EQ(tabs()->tabText(1), QStringLiteral("&Options"));
    EXPECT_EQ(statusText(), QStringLiteral("Ready..."));
    EXPECT_EQ(child<QLabel>("stsStatusPanel2")->text(), QStringLiteral("Mode: Prismora only"));
    EXPECT_EQ(child<QProgressBar>("pbrAllFiles")->value(), 0);
    EXPECT_EQ(child<QProgressBar>("pbrThisFolder")->maximum(), 100);
    EXPECT_EQ(child<QPushButton>("cmdProcess")->toolTip(), QStringLiteral("Process the files in the selected folders."));
    EXPECT_TRUE(m_platform.messages.isEmpty());
    EXPECT_TRUE(PrismoraSettings().allKeys().isEmpty());
    EXPECT_FALSE(w.endedAtStartup());
}

TEST_F(MainWindowTest, StartsFromAFilledStoreIncludingAnEmptyName)
{
    {
        auto settings = PrismoraSettings();
        settings.setValue(QStringLiteral("Main/RedDir"), QStringLiteral("Rouge"));
        settings.setValue(QStringLiteral("Main/GreenDir"), QString());
    }
    open();
    EXPECT_EQ(field("txtRedDir")->text(), QStringLiteral("Rouge"));
    EXPECT_EQ(field("txtGreenDir")->text(), QString());
    EXPECT_EQ(field("txtBlueDir")->text(), QStringLiteral("Blue"));
    EXPECT_EQ(SavedGreenDir, QString());
    EXPECT_FALSE(saveItem()->isEnabled());
    EXPECT_TRUE(m_platform.messages.isEmpty());
}

TEST_F(MainWindowTest, AStoredNameWithAForbiddenCharacterWarnsOnceAndFallsBackToTheDefault)
{
    PrismoraSettings().setValue(QStringLiteral("Main/BlueDir"), QStringLiteral("a|b"));
    open();
    ASSERT_EQ(m_platform.messages.size(), 1);
    EXPECT_EQ(m_platform.messages[0].title, QStringLiteral("Invalid Folder Name"));
    EXPECT_EQ(field("txtBlueDir")->text(), QStringLiteral("Blue"));
}

TEST_F(MainWindowTest, SaveIndicatorFollowsFocusLossOfChangedFields)
{
    open();
    // Leaving an untouched field changes nothing.
    tabs()->setCurrentIndex(1);
    field("txtRedDir")->setFocus();
    field("txtGreenDir")->setFocus();
    EXPECT_FALSE(saveItem()->isEnabled());
    // A field edited but still focused does not count yet.
    field("txtGreenDir")->setText(QStringLiteral("green"));
    EXPECT_FALSE(saveItem()->isEnabled());
    // Losing the focus with a case-only change counts.
    field("txtBlueDir")->setFocus();
    EXPECT_TRUE(saveItem()->isEnabled());
    // Editing it back does not clear the indicator.
    field("txtGreenDir")->setFocus();
    field("txtGreenDir")->setText(QStringLiteral("Green"));
    field("txtRedDir")->setFocus();
    EXPECT_TRUE(saveItem()->isEnabled());
    // Saving stores all three and clears it.
    field("txtRedDir")->setText(QString());
    saveItem()->trigger();
    EXPECT_FALSE(saveItem()->isEnabled());
    EXPECT_EQ(stored("RedDir"), QString());
    EXPECT_EQ(stored("GreenDir"), QStringLiteral("Green"));
    EXPECT_EQ(stored("BlueDir"), QStringLiteral("Blue"));
    EXPECT_EQ(SavedRedDir, QString());
    // An emptied field that loses the focus counts as a change.
    field("txtGreenDir")->setFocus();
    field("txtGreenDir")->setText(QString());
    field("txtBlueDir")->setFocus();
    EXPECT_TRUE(saveItem()->isEnabled());
    EXPECT_TRUE(m_platform.messages.isEmpty());
}

TEST_F(MainWindowTest, AMessageBoxTakingTheFocusIsNotALostFocus)
{
    frmMain &w = open();
    edit("txtRedDir", QStringLiteral("Changed"));
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    EXPECT_FALSE(saveItem()->isEnabled());
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    // Nor is the menu bar taking it for keyboard navigation.
    w.menuBar()->setFocus();
    EXPECT_FALSE(saveItem()->isEnabled());
    field("txtRedDir")->setFocus();
    field("txtGreenDir")->setFocus();
    EXPECT_TRUE(saveItem()->isEnabled());
}

TEST_F(MainWindowTest, LeavingTheOptionsTabAsksAndYesStores)
{
    open();
    edit("txtRedDir", QStringLiteral("R2"), "txtGreenDir");
    m_platform.answers = {MsgAnswer::Yes};
    tabs()->setCurrentIndex(0);
    ASSERT_EQ(m_platform.messages.size(), 1);
    EXPECT_EQ(m_platform.messages[0].text,
              QStringLiteral("Do want to save the changes you made to the default folder names?"));
    EXPECT_EQ(m_platform.messages[0].title, QStringLiteral("Save Options"));
    EXPECT_EQ(m_platform.messages[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(m_platform.messages[0].icon, MsgIcon::None);
    EXPECT_EQ(stored("RedDir"), QStringLiteral("R2"));
    EXPECT_FALSE(saveItem()->isEnabled());
    EXPECT_EQ(tabs()->currentIndex(), 0);
}

TEST_F(MainWindowTest, LeavingTheOptionsTabAndAnsweringNoKeepsTheTextButStoresNothing)
{
    frmMain &w = open();
    edit("txtRedDir", QStringLiteral("R2"), "txtGreenDir");
    m_platform.answers = {MsgAnswer::No};
    tabs()->setCurrentIndex(0);
    EXPECT_EQ(m_platform.messages.size(), 1);
    EXPECT_FALSE(saveItem()->isEnabled());
    EXPECT_EQ(field("txtRedDir")->text(), QStringLiteral("R2"));
    EXPECT_EQ(w.redDirName(), QStringLiteral("R2"));
    EXPECT_EQ(stored("RedDir"), QStringLiteral("<none>"));
    EXPECT_EQ(SavedRedDir, QStringLiteral("Red"));
    // Going back and leaving again without edits does not ask.
    tabs()->setCurrentIndex(1);
    tabs()->setCurrentIndex(0);
    EXPECT_EQ(m_platform.messages.size(), 1);
}

TEST_F(MainWindowTest, AnEditStillFocusedWhenTheTabIsLeftIsOfferedForSaving)
{
    open();
    edit("txtBlueDir", QStringLiteral("B2"));
    m_platform.answers = {MsgAnswer::Yes};
    tabs()->setCurrentIndex(0);
    ASSERT_EQ(m_platform.messages.size(), 1);
    EXPECT_EQ(stored("BlueDir"), QStringLiteral("B2"));
}

TEST_F(MainWindowTest, ClosingWithUnsavedNamesAsksOnceWhicheverWayItCloses)
{
    for (const bool viaExit : {false, true}) {
        for (const MsgAnswer answer : {MsgAnswer::Yes, MsgAnswer::No}) {
            SCOPED_TRACE(viaExit ? "Exit" : "close control");
            SetUp();
            m_platform.messages.clear();
            frmMain &w = open();
            edit("txtGreenDir", QStringLiteral("G2"), "txtRedDir");
            m_platform.answers = {answer};
            if (viaExit)
                child<QAction>("mnuFileExit")->trigger();
            else
                w.close();
            EXPECT_FALSE(w.isVisible());
            ASSERT_EQ(m_platform.messages.size(), 1);
            EXPECT_EQ(m_platform.messages[0].title, QStringLiteral("Save Options"));
            EXPECT_EQ(stored("GreenDir"), answer == MsgAnswer::Yes ? QStringLiteral("G2") : QStringLiteral("<none>"));
        }
    }
}

TEST_F(MainWindowTest, ClosingWithNothingUnsavedDoesNotAsk)
{
    frmMain &w = open();
    w.close();
    EXPECT_TRUE(m_platform.messages.isEmpty());
}

TEST_F(MainWindowTest, AForbiddenCharacterIsRefusedAndTheStoredNameComesBack)
{
    PrismoraSettings().setValue(QStringLiteral("Main/GreenDir"), QStringLiteral("Verde"));
    open();
    tabs()->setCurrentIndex(1);
    QLineEdit *red = field("txtRedDir");
    red->setFocus();
    red->end(false);
    QTest::keyClicks(red, QStringLiteral("?"));
    ASSERT_EQ(m_platform.messages.size(), 1);
    EXPECT_EQ(m_platform.messages[0].text,
              QStringLiteral("? is not a valid character to use in a folder name.\r\n"
                             "The characters  \\  /  :  *  ?  \"  <  > and | are not\r\n"
                             "allowed in a Windows folder name."));
    EXPECT_EQ(m_platform.messages[0].title, QStringLiteral("Invalid Folder Name"));
    EXPECT_EQ(m_platform.messages[0].buttons, MsgButtons::Ok);
    EXPECT_EQ(m_platform.messages[0].icon, MsgIcon::Exclamation);
    EXPECT_EQ(red->text(), QStringLiteral("Red"));

    // Everything typed since the last store goes, not only the bad character.
    QLineEdit *green = field("txtGreenDir");
    green->setFocus();
    green->setText(QStringLiteral("Verde2"));
    green->setText(QStringLiteral("Verde2:x*"));
    ASSERT_EQ(m_platform.messages.size(), 2);
    EXPECT_TRUE(m_platform.messages[1].text.startsWith(QStringLiteral("* is not")));
    EXPECT_EQ(green->text(), QStringLiteral("Verde"));
    EXPECT_FALSE(saveItem()->isEnabled());
}

TEST_F(MainWindowTest, NameFieldsHaveNoLengthLimit)
{
    open();
    const QString longName(40000, QLatin1Char('n'));
    for (const char *name : {"txtRedDir", "txtGreenDir", "txtBlueDir"}) {
        field(name)->setText(longName);
        EXPECT_EQ(field(name)->text(), longName) << name;
    }
    EXPECT_TRUE(m_platform.messages.isEmpty());
}

TEST_F(MainWindowTest, DropsAddFoldersOnlyAndBeepForEachDuplicate)
{
    QTemporaryDir dir;
    const QString a = dir.filePath(QStringLiteral("a"));
    const QString b = dir.filePath(QStringLiteral("b"));
    const QString upperA = dir.filePath(QStringLiteral("A"));
    for (const QString &path : {a, b, upperA})
        ASSERT_TRUE(QDir().mkpath(path));
    const QString file = dir.filePath(QStringLiteral("picture.bmp"));
    ASSERT_TRUE(WriteFile(file, "x"));
    open();
    drop({a});
    drop({a}); // again: beep, nothing added
    EXPECT_EQ(m_platform.beeps, 1);
    drop({b, file, a, upperA, b});
    EXPECT_EQ(listed(), QStringList({a, b, upperA}));
    EXPECT_EQ(m_platform.beeps, 3);
    EXPECT_TRUE(m_platform.messages.isEmpty());
    child<QPushButton>("cmdClear")->click();
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_EQ(statusText(), QStringLiteral("Ready..."));
}

TEST_F(MainWindowTest, DropsAreTakenAsACopyAndOnlyWhenTheyCarryALocalPath)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("photos"));
    ASSERT_TRUE(QDir().mkpath(folder));
    open();
    struct Case
    {
        const char *name;
        QList<QUrl> urls;
        Qt::DropActions offered;
        bool welcome;
    };
    const Case cases[] = {
        {"move_offered_first", {QUrl::fromLocalFile(folder)}, Qt::MoveAction | Qt::CopyAction, true},
        {"web_link", {QUrl(QStringLiteral("https://example.org/photos"))}, Qt::CopyAction | Qt::MoveAction, false},
        {"move_only", {QUrl::fromLocalFile(folder)}, Qt::MoveAction, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        list()->clear();
        QMimeData data;
        data.setUrls(c.urls);
        // Shift asks the source for a move, as a file manager's default may.
        QDragEnterEvent enter(QPoint(10, 10), c.offered, &data, Qt::LeftButton, Qt::ShiftModifier);
        if (c.offered & Qt::CopyAction) {
            ASSERT_EQ(enter.proposedAction(), Qt::MoveAction);
        }
        QCoreApplication::sendEvent(list()->viewport(), &enter);
        EXPECT_EQ(enter.isAccepted(), c.welcome);
        QDragMoveEvent move(QPoint(12, 12), c.offered, &data, Qt::LeftButton, Qt::ShiftModifier);
        QCoreApplication::sendEvent(list()->viewport(), &move);
        EXPECT_EQ(move.isAccepted(), c.welcome);
        QDropEvent dropped(QPointF(12, 12), c.offered, &data, Qt::LeftButton, Qt::ShiftModifier);
        QCoreApplication::sendEvent(list()->viewport(), &dropped);
        EXPECT_EQ(dropped.isAccepted(), c.welcome);
        if (c.welcome) {
            EXPECT_EQ(enter.dropAction(), Qt::CopyAction);
            EXPECT_EQ(move.dropAction(), Qt::CopyAction);
            EXPECT_EQ(dropped.dropAction(), Qt::CopyAction);
            EXPECT_EQ(listed(), QStringList{folder});
        } else {
            EXPECT_TRUE(listed().isEmpty());
        }
    }
    EXPECT_TRUE(QDir(folder).exists());
}

TEST_F(MainWindowTest, ProcessRunsTheBatchThroughTheWindow)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("photos"));
    ASSERT_TRUE(QDir().mkpath(source));
    for (const char *name : {"a.bmp", "b.bmp"})
        ASSERT_TRUE(WriteFile(source + QLatin1Char('/') + QLatin1String(name), MakeBitmap({3, 2})));
    frmMain &w = open();
    drop({source});
    QStringList seen;
    m_platform.onYield = [&] {
        seen.append(QStringLiteral("%1|%2|%3|%4")
                        .arg(w.windowTitle(), statusText())
                        .arg(child<QProgressBar>("pbrThisFolder")->value())
                        .arg(child<QProgressBar>("pbrAllFiles")->value()));
    };
    child<QPushButton>("cmdProcess")->click();
    EXPECT_EQ(seen, QStringList({QStringLiteral("Prismora - Processing...|Splitting... a.bmp|0|50"),
                                 QStringLiteral("Prismora - Processing...|Splitting... b.bmp|50|100")}));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Prismora"));
    EXPECT_EQ(statusText(), QStringLiteral("Ready..."));
    EXPECT_EQ(child<QProgressBar>("pbrAllFiles")->value(), 0);
    EXPECT_EQ(child<QProgressBar>("pbrThisFolder")->value(), 0);
    EXPECT_TRUE(QFile::exists(source + QStringLiteral("/Red/R_a.bmp")));
    EXPECT_TRUE(QFile::exists(source + QStringLiteral("/Blue/B_b.bmp")));
}

TEST_F(MainWindowTest, ProcessWithAnEmptyListOnlyTellsTheUser)
{
    open();
    child<QPushButton>("cmdProcess")->click();
    ASSERT_EQ(m_platform.messages.size(), 1);
    EXPECT_EQ(m_platform.messages[0].title, QStringLiteral("No Folders Added"));
}

TEST_F(MainWindowTest, ClosingDuringARunAsksThenStopsAfterTheCurrentFile)
{
    QTemporaryDir dir;
    for (const char *name : {"a.bmp", "b.bmp", "c.bmp"})
        ASSERT_TRUE(WriteFile(dir.filePath(QLatin1String(name)), MakeBitmap({})));
    frmMain &w = open();
    drop({dir.path()});
    edit("txtRedDir", QStringLiteral("R3"), "txtGreenDir"); // unsaved, yet the run uses it
    m_platform.answers = {MsgAnswer::Yes};
    m_platform.onYield = [&] { w.close(); };
    child<QPushButton>("cmdProcess")->click();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(m_platform.messages.size(), 1);
    EXPECT_EQ(stored("RedDir"), QStringLiteral("R3"));
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("R3/R_a.bmp"))));
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("R3/R_b.bmp"))));
}

// A platform whose yield really lets the window handle its events, and that
// notes when each yield came.
struct LivePlatform : ScriptedPlatform
{
    void doEvents() override
    {
        ScriptedPlatform::doEvents();
        at.append(clock.elapsed());
        QCoreApplication::processEvents();
    }
    QElapsedTimer clock;
    QList<qint64> at;
};

// With the real yield, input that waits while a file is split is handled
// before the next file: here a timer and a second press of Process.
TEST_F(MainWindowTest, TheWindowStaysResponsiveBetweenFiles)
{
    LivePlatform platform;
    QTemporaryDir dir;
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("%1.bmp").arg(i)), MakeBitmap({16, 16})));
    frmMain w(platform);
    w.show();
    auto *process = w.findChild<QPushButton *>(QStringLiteral("cmdProcess"));
    w.lstFolders_OLEDragDrop({dir.path()});
    QString captionSeen;
    int yieldsSeen = -1;
    QTimer::singleShot(0, [&] {
        captionSeen = w.windowTitle();
        yieldsSeen = platform.yields;
        process->click(); // pressed again mid-run: only a beep
    });
    process->click();
    EXPECT_EQ(captionSeen, QStringLiteral("Prismora - Processing..."));
    EXPECT_EQ(yieldsSeen, 1);
    EXPECT_EQ(platform.beeps, 1);
    EXPECT_EQ(platform.yields, 20);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Prismora"));
    EXPECT_EQ(w.findChild<QLabel *>(QStringLiteral("stsStatusPanel1"))->text(), QStringLiteral("Ready..."));
    EXPECT_EQ(w.findChild<QProgressBar *>(QStringLiteral("pbrAllFiles"))->value(), 0);
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("Blue/B_19.bmp"))));
}

// A folder on the fastest file system at hand, holding one large bitmap.
struct LargeImageFolder
{
    LargeImageFolder()
        : dir(QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm/prismora-XXXXXX")
                                                                 : QDir::tempPath() + QStringLiteral("/prismora-XXXXXX"))
    {
        bytes = MakeBitmap({6000, 4000}); // 72 MB: many bands
        EXPECT_TRUE(WriteFile(dir.filePath(QStringLiteral("big.bmp")), bytes));
    }
    QString output(const char *channel) const
    {
        return dir.filePath(QLatin1String(channel) + QStringLiteral("/") + QLatin1Char(channel[0]) +
                            QStringLiteral("_big.bmp"));
    }
    QTemporaryDir dir;
    QByteArray bytes;
};

TEST_F(MainWindowTest, TheWindowAnswersWithinABoundWhileALargeImageIsSplit)
{
    LargeImageFolder folder;
    LivePlatform platform;
    frmMain w(platform);
    w.show();
    w.lstFolders_OLEDragDrop({folder.dir.path()});
    auto *status = w.findChild<QLabel *>(QStringLiteral("stsStatusPanel1"));
    // A timer stands for the user's input: it must be served while the file is split.
    int servedMidFile = 0;
    QTimer input;
    input.setInterval(5);
    QObject::connect(&input, &QTimer::timeout, [&] {
        if (status->text() == QStringLiteral("Splitting... big.bmp") && !QFile::exists(folder.output("Blue")))
            ++servedMidFile;
    });
    input.start();
    platform.clock.start();
    w.findChild<QPushButton *>(QStringLiteral("cmdProcess"))->click();
    const qint64 end = platform.clock.elapsed();
    input.stop();

    EXPECT_GT(servedMidFile, 0);
    platform.at.prepend(0);
    platform.at.append(end);
    qint64 longest = 0;
    for (qsizetype i = 1; i < platform.at.size(); ++i)
        longest = std::max(longest, platform.at[i] - platform.at[i - 1]);
    EXPECT_LE(longest, 100) << "ms without a yield, over " << end << " ms";
    EXPECT_EQ(ReadFile(folder.output("Blue")), ReferenceChannelFiles(folder.bytes).at('B'));
}

TEST_F(MainWindowTest, ClosingDuringALargeFileAsksThenAbandonsItAndKeepsOlderOutputs)
{
    LargeImageFolder folder;
    for (const char *channel : {"Red", "Green", "Blue"}) {
        ASSERT_TRUE(QDir(folder.dir.path()).mkdir(QLatin1String(channel)));
        ASSERT_TRUE(WriteFile(folder.output(channel), "older"));
    }
    LivePlatform platform;
    platform.answers = {MsgAnswer::Yes};
    frmMain w(platform);
    w.show();
    w.lstFolders_OLEDragDrop({folder.dir.path()});
    QString askedWhile;
    qint64 closedAt = -1;
    QTimer::singleShot(20, [&] {
        askedWhile = w.findChild<QLabel *>(QStringLiteral("stsStatusPanel1"))->text();
        closedAt = platform.clock.elapsed();
        w.findChild<QAction *>(QStringLiteral("mnuFileSave"))->setEnabled(true); // names to be saved
        w.close();
    });
    platform.clock.start();
    w.findChild<QPushButton *>(QStringLiteral("cmdProcess"))->click();
    const qint64 ended = platform.clock.elapsed();

    EXPECT_EQ(askedWhile, QStringLiteral("Splitting... big.bmp"));
    ASSERT_EQ(platform.messages.size(), 1);
    EXPECT_EQ(platform.messages[0].title, QStringLiteral("Save Options"));
    EXPECT_FALSE(w.isVisible());
    EXPECT_LT(ended - closedAt, 1000);
    // The file in progress was dropped; what stands is the older output or a
    // complete new one, and no part file is left.
    const auto expected = ReferenceChannelFiles(folder.bytes);
    int older = 0;
    for (const char *channel : {"Red", "Green", "Blue"}) {
        const QByteArray now = ReadFile(folder.output(channel));
        if (now == "older")
            ++older;
        else
            EXPECT_EQ(now, expected.at(channel[0])) << channel;
        EXPECT_EQ(QDir(folder.dir.filePath(QLatin1String(channel)))
                      .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                      .size(),
                  1);
    }
    EXPECT_GT(older, 0);
}

TEST_F(MainWindowTest, ASecondInstanceEndsBeforeShowingAnything)
{
    // Even a stored name that would warn at start-up shows nothing.
    PrismoraSettings().setValue(QStringLiteral("Main/RedDir"), QStringLiteral("a/b"));
    m_platform.otherInstance = true;
    frmMain &w = open(false);
    EXPECT_TRUE(w.endedAtStartup());
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(m_platform.messages.isEmpty());
}

} // namespace
