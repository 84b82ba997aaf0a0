#include "platform/fileio.h"
#include "support/bitmaps.h"
#include "support/faults.h"
#include "support/scriptedplatform.h"
#include "support/testenv.h"
#include "support/widgets.h"
#include "ui/main/frmmain.h"
#include "ui/main/options.h"

#include <QAction>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <sys/stat.h>

namespace {

QString stored(const char *key)
{
    return PrismoraSettings().value(QStringLiteral("Main/") + QLatin1String(key), QStringLiteral("<none>")).toString();
}

// Drags `urls` onto `target` and drops them there; the action it took them
// with on entering, moving and dropping, IgnoreAction where it refused them.
QList<Qt::DropAction> dragAndDrop(QWidget *target, const QList<QUrl> &urls, Qt::DropActions offered,
                                  Qt::KeyboardModifiers keys)
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), offered, &data, Qt::LeftButton, keys);
    QDragMoveEvent move(QPoint(12, 12), offered, &data, Qt::LeftButton, keys);
    QDropEvent dropped(QPointF(12, 12), offered, &data, Qt::LeftButton, keys);
    QList<Qt::DropAction> taken;
    for (QDropEvent *event : std::initializer_list<QDropEvent *>{&enter, &move, &dropped}) {
        QCoreApplication::sendEvent(target, event);
        taken.append(event->isAccepted() ? event->dropAction() : Qt::IgnoreAction);
    }
    return taken;
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
        QList<QUrl> urls;
        for (const QString &path : paths)
            urls.append(QUrl::fromLocalFile(path));
        dragAndDrop(list()->viewport(), urls, Qt::CopyAction, Qt::NoModifier);
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
    EXPECT_FALSE(saveItem()->isEnabled());
    EXPECT_EQ(tabs()->currentIndex(), 0);
    EXPECT_EQ(tabs()->tabText(0), QStringLiteral("Fol&ders"));
    EXPECT_EQ(tabs()->tabText(1), QStringLiteral("&Options"));
    EXPECT_EQ(statusText(), QStringLiteral("Ready..."));
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

// Leaving the Options tab with a changed name asks once, whether the edit
// has lost the focus or not; Yes stores it, No keeps the text but stores nothing.
TEST_F(MainWindowTest, LeavingTheOptionsTabWithAChangeAsksOnce)
{
    const struct
    {
        MsgAnswer answer;
        const char *focusNext;
        const char *stored;
    } cases[] = {{MsgAnswer::Yes, "txtGreenDir", "R2"}, {MsgAnswer::No, "txtGreenDir", "<none>"}, {MsgAnswer::Yes, nullptr, "R2"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stored);
        SetUp();
        m_platform.messages.clear();
        frmMain &w = open();
        edit("txtRedDir", QStringLiteral("R2"), c.focusNext);
        m_platform.answers = {c.answer};
        tabs()->setCurrentIndex(0);
        ASSERT_EQ(m_platform.messages.size(), 1);
        EXPECT_EQ(m_platform.messages[0].text,
                  QStringLiteral("Do want to save the changes you made to the default folder names?"));
        EXPECT_EQ(m_platform.messages[0].buttons, MsgButtons::YesNo);
        EXPECT_EQ(stored("RedDir"), QLatin1String(c.stored));
        EXPECT_EQ(w.redDirName(), QStringLiteral("R2"));
        EXPECT_FALSE(saveItem()->isEnabled());
        EXPECT_EQ(tabs()->currentIndex(), 0);
        // Going back and leaving again without edits does not ask.
        tabs()->setCurrentIndex(1);
        tabs()->setCurrentIndex(0);
        EXPECT_EQ(m_platform.messages.size(), 1);
    }
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
}

TEST_F(MainWindowTest, DropsAreTakenAsACopyAndOnlyWhenTheyCarryALocalPath)
{
    QTemporaryDir dir;
    const QList<QUrl> local = {QUrl::fromLocalFile(dir.path())};
    const QList<QUrl> web = {QUrl(QStringLiteral("https://example.org/photos"))};
    open();
    // Shift asks the source for a move, as a file manager's default may.
    ASSERT_EQ(QDropEvent(QPointF(), Qt::CopyAction | Qt::MoveAction, nullptr, Qt::LeftButton, Qt::ShiftModifier)
                  .proposedAction(),
              Qt::MoveAction);
    struct Case
    {
        const char *name;
        QList<QUrl> urls;
        Qt::DropActions offered;
        Qt::KeyboardModifiers keys;
        Qt::DropAction taken;
    };
    const Case cases[] = {
        {"copy_proposed", local, Qt::CopyAction | Qt::MoveAction, Qt::NoModifier, Qt::CopyAction},
        {"move_proposed", local, Qt::CopyAction | Qt::MoveAction, Qt::ShiftModifier, Qt::CopyAction},
        {"web_link", web, Qt::CopyAction | Qt::MoveAction, Qt::NoModifier, Qt::IgnoreAction},
        {"move_only", local, Qt::MoveAction, Qt::NoModifier, Qt::IgnoreAction},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        list()->clear();
        EXPECT_EQ(dragAndDrop(list()->viewport(), c.urls, c.offered, c.keys), QList<Qt::DropAction>(3, c.taken));
        EXPECT_EQ(listed(), c.taken == Qt::CopyAction ? QStringList{dir.path()} : QStringList());
    }
}

// Handles the window's events until the run in the background has ended.
bool waitForRun(const frmMain &w)
{
    return QTest::qWaitFor([&] { return !w.runInProgress(); }, 30000);
}

// A main window that notes every change the run makes to it, and whether each
// came on the window thread.
struct RecordingMain : frmMain
{
    using frmMain::frmMain;
    void setCaption(const QString &text) override { note(QStringLiteral("caption:") + text), frmMain::setCaption(text); }
    void setThisFolderProgress(int v) override { note(QStringLiteral("this:%1").arg(v)), frmMain::setThisFolderProgress(v); }
    void setAllFilesProgress(int v) override { note(QStringLiteral("all:%1").arg(v)), frmMain::setAllFilesProgress(v); }
    void setStatusText(const QString &text) override { note(QStringLiteral("status:") + text), frmMain::setStatusText(text); }
    void note(const QString &event)
    {
        events.append(event);
        onWindowThread = onWindowThread && QThread::currentThread() == qApp->thread();
    }
    QStringList events;
    bool onWindowThread = true;
};

// Every open, write, link, rename, unlink and close of an output file stalls
// until released, as on a slow stick or a network share; never longer than
// `limit`, so that a failing test ends.
class StalledDisk
{
public:
    explicit StalledDisk(std::chrono::seconds limit = std::chrono::seconds(10))
    {
        SetFault([state = m_state, limit](FaultStep, std::size_t) {
            std::unique_lock lock(state->mutex);
            state->stalled = true;
            state->changed.wait_for(lock, limit, [&] { return state->released; });
            return 0;
        });
    }
    ~StalledDisk()
    {
        release();
        SetFault({});
    }
    bool waitUntilStalled()
    {
        return QTest::qWaitFor([this] {
            const std::lock_guard lock(m_state->mutex);
            return m_state->stalled;
        });
    }
    void release()
    {
        const std::lock_guard lock(m_state->mutex);
        m_state->released = true;
        m_state->changed.notify_all();
    }

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable changed;
        bool stalled = false, released = false;
    };
    // Shared with the calls stalled in it, which may outlive this object.
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

// A folder holding a.bmp and b.bmp, and the outputs an earlier run left.
QString sourceWithOlderOutputs(const QTemporaryDir &dir)
{
    const QString source = dir.filePath(QStringLiteral("photos"));
    for (const char *name : {"Red/R_a.bmp", "Green/G_a.bmp", "Blue/B_a.bmp"}) {
        EXPECT_TRUE(QDir().mkpath(QFileInfo(source + QLatin1Char('/') + QLatin1String(name)).path()));
        EXPECT_TRUE(WriteFile(source + QLatin1Char('/') + QLatin1String(name), "older"));
    }
    for (const char *name : {"a.bmp", "b.bmp"})
        EXPECT_TRUE(WriteFile(source + QLatin1Char('/') + QLatin1String(name), MakeBitmap({3, 2})));
    return source;
}

TEST_F(MainWindowTest, TheRunWorksInTheBackgroundAndTheWindowFollowsItInOrder)
{
    QTemporaryDir dir;
    const QString source = sourceWithOlderOutputs(dir);
    RecordingMain w(m_platform);
    w.show();
    w.lstFolders_OLEDragDrop({source});
    w.findChild<QPushButton *>(QStringLiteral("cmdProcess"))->click();
    EXPECT_TRUE(w.runInProgress());
    ASSERT_TRUE(waitForRun(w));
    EXPECT_EQ(w.events, QStringList({QStringLiteral("caption:Prismora - Processing..."), QStringLiteral("this:0"),
                                     QStringLiteral("all:50"), QStringLiteral("status:Splitting... a.bmp"),
                                     QStringLiteral("this:50"), QStringLiteral("all:100"),
                                     QStringLiteral("status:Splitting... b.bmp"), QStringLiteral("caption:Prismora"),
                                     QStringLiteral("this:0"), QStringLiteral("all:0"),
                                     QStringLiteral("status:Ready...")}));
    EXPECT_TRUE(w.onWindowThread);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Prismora"));
    EXPECT_EQ(ReadFile(source + QStringLiteral("/Blue/B_b.bmp")), ReferenceChannelFiles(MakeBitmap({3, 2})).at('B'));
}

// An empty list, or a name that would put the outputs among the sources: the
// run only tells the user. The field keeps what was typed, the store its own.
TEST_F(MainWindowTest, ProcessWithAnEmptyListOrANameAmongTheSourcesOnlyTellsTheUser)
{
    frmMain &w = open();
    child<QPushButton>("cmdProcess")->click();
    ASSERT_TRUE(waitForRun(w));
    edit("txtGreenDir", QStringLiteral(".."), "txtBlueDir");
    child<QPushButton>("cmdProcess")->click();
    ASSERT_TRUE(waitForRun(w));
    ASSERT_EQ(m_platform.messages.size(), 2);
    EXPECT_EQ(m_platform.messages[0].title, QStringLiteral("No Folders Added"));
    EXPECT_EQ(m_platform.messages[1].title, QStringLiteral("Invalid Folder Name"));
    EXPECT_TRUE(m_platform.messages[1].text.startsWith(QStringLiteral("The Green Folder name \"..\" cannot be used")));
    EXPECT_EQ(field("txtGreenDir")->text(), QStringLiteral(".."));
    EXPECT_EQ(stored("GreenDir"), QStringLiteral("<none>"));
}

// While a write stalls for seconds, the window goes on answering at once and
// the user may use it; nothing done meanwhile changes the run in progress.
TEST_F(MainWindowTest, TheWindowAnswersWhileAWriteStallsAndMidRunChangesWaitForTheNextRun)
{
    QTemporaryDir dir;
    const QString source = sourceWithOlderOutputs(dir);
    StalledDisk disk;
    frmMain &w = open();
    drop({source});
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    QTimer ticks;
    ticks.setInterval(20);
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        longest = std::max(longest, clock.elapsed() - last);
        last = clock.elapsed();
    });
    clock.start();
    ticks.start();
    child<QPushButton>("cmdProcess")->click();
    ASSERT_TRUE(disk.waitUntilStalled());

    child<QPushButton>("cmdProcess")->click(); // only a beep
    child<QPushButton>("cmdClear")->click();
    drop({dir.path()});
    edit("txtRedDir", QStringLiteral("Other"), "txtGreenDir");
    QTimer::singleShot(100, [] { QApplication::activeModalWidget()->close(); });
    child<QAction>("mnuHelpAbout")->trigger();
    longest = 0; // from here on, only the run can hold the window up
    QTest::qWait(1000);
    EXPECT_TRUE(w.runInProgress());
    disk.release();
    ASSERT_TRUE(waitForRun(w));
    ticks.stop();

    EXPECT_LE(longest, 100) << "ms between ticks of a 20 ms timer";
    EXPECT_EQ(m_platform.beeps, 1);
    EXPECT_EQ(listed(), QStringList{dir.path()});
    EXPECT_TRUE(QFile::exists(source + QStringLiteral("/Red/R_b.bmp")));
    EXPECT_FALSE(QFile::exists(source + QStringLiteral("/Other")));
    EXPECT_EQ(statusText(), QStringLiteral("Ready..."));
}

// Closing mid-run asks about unsaved names and stores a Yes, then the window
// goes at once, and the program's end comes within five seconds, though every
// call on the disk stalls for thirty; none of the abandoned file's outputs is
// put in place, nor is any temporary file left where the process would end.
TEST_F(MainWindowTest, ClosingMidRunAsksThenClosesAtOnceAndAbandonsTheFile)
{
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed files" : "named temporary files");
        SetUnnamedFilesAllowed(unnamed);
        QTemporaryDir dir;
        const QString source = sourceWithOlderOutputs(dir);
        StalledDisk disk(std::chrono::seconds(30));
        SetUp();
        m_platform.messages.clear();
        frmMain &w = open();
        drop({source});
        saveItem()->setEnabled(true); // names to be saved
        m_platform.answers = {MsgAnswer::Yes};
        child<QPushButton>("cmdProcess")->click();
        ASSERT_TRUE(disk.waitUntilStalled());
        QElapsedTimer clock;
        clock.start();
        w.close();
        SettleForExit(w.abandonRunForExit(), std::chrono::steady_clock::now() + std::chrono::milliseconds(4000));
        EXPECT_LT(clock.elapsed(), 5000) << "ms from the close to the end of the program";
        EXPECT_TRUE(ReadFile(PrismoraSettings().fileName()).contains("RedDir=Red")); // on disk before the end
        EXPECT_FALSE(w.isVisible());
        EXPECT_TRUE(w.runInProgress()); // the program would end here
        ASSERT_EQ(m_platform.messages.size(), 1);
        EXPECT_EQ(m_platform.messages[0].title, QStringLiteral("Save Options"));
        const auto expectOnlyOlderOutputs = [&] {
            for (const char *name : {"Red", "Green", "Blue"}) {
                const QDir folder(source + QLatin1Char('/') + QLatin1String(name));
                EXPECT_EQ(folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                          QStringList{QLatin1Char(name[0]) + QStringLiteral("_a.bmp")});
                EXPECT_EQ(ReadFile(folder.filePath(QLatin1Char(name[0]) + QStringLiteral("_a.bmp"))), "older");
            }
        };
        expectOnlyOlderOutputs();

        disk.release();
        ASSERT_TRUE(waitForRun(w));
        expectOnlyOlderOutputs();
        EXPECT_EQ(m_platform.messages.size(), 1);
    }
    SetUnnamedFilesAllowed(true);
}

// A message is shown by the window thread while the run waits for it; a close
// meanwhile frees the run at once instead of leaving the exit to wait on it.
TEST_F(MainWindowTest, AMessageTheRunWaitsOnDoesNotHoldUpTheClose)
{
    QTemporaryDir dir;
    const QString source = sourceWithOlderOutputs(dir);
    ASSERT_EQ(::mkfifo(QFile::encodeName(source + QStringLiteral("/0.bmp")).constData(), 0600), 0); // unreadable
    frmMain &w = open();
    drop({source});
    bool onWindowThread = false, endedWhileShown = false;
    m_platform.onMessage = [&](const ScriptedPlatform::Message &message) {
        onWindowThread = QThread::currentThread() == qApp->thread();
        if (message.title == QStringLiteral("Image Info")) {
            w.close();
            endedWhileShown = waitForRun(w);
        }
    };
    child<QPushButton>("cmdProcess")->click();
    ASSERT_TRUE(waitForRun(w));
    EXPECT_TRUE(onWindowThread);
    EXPECT_TRUE(endedWhileShown);
    ASSERT_EQ(m_platform.messages.size(), 1);
    EXPECT_TRUE(m_platform.messages[0].text.contains(QStringLiteral("0.bmp")));
    EXPECT_FALSE(QFile::exists(source + QStringLiteral("/Red/R_b.bmp")));
}

// A session bus of the test's own, with a notification service that notes
// what it is asked and a task bar that notes the progress it is sent.
class SessionBus : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    bool start()
    {
        m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                        QStringLiteral("--print-address=1")});
        if (!m_daemon.waitForReadyRead(10000))
            return false;
        const QByteArray address = m_daemon.readLine().trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        QDBusConnection bus = QDBusConnection::connectToBus(QString::fromUtf8(address), QStringLiteral("test"));
        return bus.registerService(QStringLiteral("org.freedesktop.Notifications"))
               && bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                     QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)
               && bus.connect({}, {}, QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"),
                              this, SLOT(update(QString,QVariantMap)));
    }
    ~SessionBus() override
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("test"));
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        m_daemon.kill();
        m_daemon.waitForFinished();
    }

    QStringList progress; // "0.5", ..., "hidden"
    QList<QStringList> notified;

public slots:
    uint Notify(const QString &app, uint, const QString &icon, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &hints, int)
    {
        notified.append({app, icon, summary, body, actions.value(0), hints.value(QStringLiteral("desktop-entry")).toString()});
        return static_cast<uint>(notified.size());
    }
    void update(const QString &uri, const QVariantMap &properties)
    {
        EXPECT_EQ(uri, QStringLiteral("application://org.example.prismora.desktop"));
        progress.append(properties.value(QStringLiteral("progress-visible")).toBool()
                            ? QString::number(properties.value(QStringLiteral("progress")).toDouble())
                            : QStringLiteral("hidden"));
    }

signals:
    void ActionInvoked(uint id, const QString &action);

private:
    QProcess m_daemon;
};

// A run's progress shows on the task bar and is hidden when it ends; a run
// that ends while the window is not active is told in a notification, whose
// default action brings the window back.
TEST_F(MainWindowTest, ARunShowsOnTheTaskBarAndEndsInANotificationWhenUnseen)
{
    SessionBus bus;
    ASSERT_TRUE(bus.start()) << "dbus-daemon";
    QTemporaryDir dir;
    const QString source = sourceWithOlderOutputs(dir);
    for (const bool watched : {true, false}) {
        SCOPED_TRACE(watched ? "watched" : "unseen");
        bus.progress.clear();
        frmMain &w = open();
        drop({source});
        QWidget other;
        if (!watched) {
            other.show();
            other.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
        }
        child<QPushButton>("cmdProcess")->click();
        ASSERT_TRUE(waitForRun(w));
        ASSERT_TRUE(QTest::qWaitFor([&] { return bus.progress.contains(QStringLiteral("hidden")); }));
        EXPECT_EQ(bus.progress, QStringList({QStringLiteral("0.5"), QStringLiteral("1"), QStringLiteral("hidden")}));
        if (watched) {
            QTest::qWait(200);
            EXPECT_TRUE(bus.notified.isEmpty());
            continue;
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !bus.notified.isEmpty(); }));
        EXPECT_EQ(bus.notified, QList<QStringList>({{QStringLiteral("Prismora"), QStringLiteral("prismora"),
                                                      QStringLiteral("The run has finished"),
                                                      QStringLiteral("Split 2 files from 1 folder."),
                                                      QStringLiteral("default"), QStringLiteral("org.example.prismora")}}));
        emit bus.ActionInvoked(1, QStringLiteral("default"));
        EXPECT_TRUE(QTest::qWaitForWindowActive(&w));
    }
}

// A second start ends at once and shows nothing, not even the warning its
// stored names would give. Where a session bus runs, it first has the window
// already open come to the front, with the launcher's token, used once.
TEST_F(MainWindowTest, ASecondInstanceEndsBeforeShowingAnythingAndBringsTheFirstToTheFront)
{
    for (const bool withBus : {false, true}) {
        SCOPED_TRACE(withBus ? "session bus" : "no session bus");
        SetUp();
        m_platform.otherInstance = false;
        SessionBus bus;
        if (withBus && !bus.start())
            GTEST_SKIP() << "no private session bus could be started (dbus-daemon)";
        frmMain &first = open();
        QWidget other;
        other.show();
        other.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
        PrismoraSettings().setValue(QStringLiteral("Main/RedDir"), QStringLiteral("a/b"));
        m_platform.otherInstance = true;
        qputenv("XDG_ACTIVATION_TOKEN", "launch-1");
        QElapsedTimer clock;
        clock.start();
        frmMain second(m_platform);
        EXPECT_LT(clock.elapsed(), 1000);
        EXPECT_TRUE(second.endedAtStartup());
        EXPECT_FALSE(second.isVisible());
        EXPECT_TRUE(m_platform.messages.isEmpty());
        if (withBus) {
            EXPECT_TRUE(QTest::qWaitForWindowActive(&first));
            EXPECT_FALSE(qEnvironmentVariableIsSet("XDG_ACTIVATION_TOKEN"));
        } else {
            QTest::qWait(200);
            EXPECT_TRUE(other.isActiveWindow());
        }
        qunsetenv("XDG_ACTIVATION_TOKEN");
    }
}

} // namespace

#include "test_frmmain.moc"
