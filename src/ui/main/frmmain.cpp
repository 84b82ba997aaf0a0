#include "ui/main/frmmain.h"

#include "filesys/paths.h"
#include "platform/platform.h"
#include "platform/settings.h"
#include "ui/about/frmabout.h"
#include "ui/addfolder/frmaddfolder.h"
#include "ui/main/desktopbus.h"
#include "ui/common/pixelframe.h"
#include "ui/common/twips.h"
#include "ui/main/options.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTabBar>
#include <QUrl>

#include <limits>

namespace {

const char *kDesignRect = "prismoraDesignRect";

// Places a control at its designed spot, grown just enough that the
// platform's font does not clip its caption.
template <typename W>
W *place(W *widget, const char *name, const QRect &rect)
{
    widget->setObjectName(QLatin1String(name));
    widget->setProperty(kDesignRect, rect);
    const QSize hint = widget->sizeHint();
    QRect grown = rect;
    if (qobject_cast<QPushButton *>(widget) || qobject_cast<QLabel *>(widget) || qobject_cast<QLineEdit *>(widget)) {
        grown.setWidth(std::max(rect.width(), hint.width()));
        grown.setHeight(std::max(rect.height(), hint.height()));
    }
    widget->setGeometry(grown);
    return widget;
}

QProgressBar *progressBar(QWidget *parent, const char *name, const QRect &rect)
{
    auto *bar = place(new QProgressBar(parent), name, rect);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

QStringList localPaths(const QMimeData *data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    return paths;
}

// A drop is only ever taken as a copy: a file manager that honoured a move
// would delete the user's folder. Only drags that carry a local path are welcome.
bool acceptAsCopy(QDropEvent *event)
{
    if (localPaths(event->mimeData()).isEmpty() || !(event->possibleActions() & Qt::CopyAction)) {
        event->ignore();
        return false;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return true;
}

// Tabs of a fixed width, three to a row, whatever their captions.
class ThirdsTabBar : public QTabBar
{
public:
    using QTabBar::QTabBar;

protected:
    QSize tabSizeHint(int index) const override
    {
        QSize size = QTabBar::tabSizeHint(index);
        if (parentWidget())
            size.setWidth(parentWidget()->width() / 3);
        return size;
    }
};

class ThirdsTabWidget : public QTabWidget
{
public:
    explicit ThirdsTabWidget(QWidget *parent) : QTabWidget(parent) { setTabBar(new ThirdsTabBar(this)); }
};

// Moves `followers` right, each keeping its width as far as `limit` allows,
// so that they stand at least `gap` pixels clear of the widest of `leaders`.
void keepClear(const QList<QWidget *> &leaders, const QList<QWidget *> &followers, int gap, int limit)
{
    int leadersEnd = 0;
    for (QWidget *leader : leaders)
        leadersEnd = std::max(leadersEnd, leader->geometry().x() + leader->geometry().width());
    for (QWidget *follower : followers) {
        QRect rect = follower->geometry();
        if (rect.left() >= leadersEnd + gap)
            continue;
        rect.moveLeft(leadersEnd + gap);
        if (rect.right() > limit)
            rect.setRight(limit);
        follower->setGeometry(rect);
    }
}

} // namespace

void FolderListBox::dragEnterEvent(QDragEnterEvent *event)
{
    acceptAsCopy(event);
}

void FolderListBox::dragMoveEvent(QDragMoveEvent *event)
{
    acceptAsCopy(event);
}

void FolderListBox::dropEvent(QDropEvent *event)
{
    if (acceptAsCopy(event) && onDrop)
        onDrop(localPaths(event->mimeData()));
}

frmMain::frmMain(Platform &platform, QWidget *parent)
    : QMainWindow(parent), m_platform(platform), m_run(*this, platform)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Prismora"));
    m_desktop = new DesktopBus(this);
    setWindowIcon(QIcon(QStringLiteral(":/icons/prismora.png")));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    buildControls();
    m_loadedWindows.append(this);
    Form_Load();
}

frmMain::~frmMain()
{
    // The widgets die after this object's own part: no handler of ours may
    // run for the focus moves and page changes their destruction causes.
    disconnect(qApp, nullptr, this, nullptr);
    tabMain->disconnect(this);
    for (const DirField &field : m_fields)
        field.edit->disconnect(this);
}

void frmMain::buildControls()
{
    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuFileSave = mnuFile->addAction(QStringLiteral("&Save Options"), this, [this] { SaveOptions(); });
    mnuFileSave->setObjectName(QStringLiteral("mnuFileSave"));
    mnuFileExit = mnuFile->addAction(QStringLiteral("E&xit"), this, [this] { mnuFileExit_Click(); });
    mnuFileExit->setObjectName(QStringLiteral("mnuFileExit"));
    mnuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelpAbout = mnuHelp->addAction(QStringLiteral("&About Prismora"), this, [this] { mnuHelpAbout_Click(); });
    mnuHelpAbout->setObjectName(QStringLiteral("mnuHelpAbout"));

    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(px(7110), px(6270));
    setCentralWidget(client);

    // A thin etched separator under the menu bar.
    auto *line2 = new QFrame(client);
    line2->setObjectName(QStringLiteral("Line2"));
    line2->setGeometry(0, px(20), px(7110), 1);
    line2->setStyleSheet(QStringLiteral("background-color: rgb(192, 192, 192);"));
    auto *line1 = new QFrame(client);
    line1->setObjectName(QStringLiteral("Line1"));
    line1->setGeometry(0, px(20) + 1, px(7095), 1);
    line1->setStyleSheet(QStringLiteral("background-color: palette(base);"));

    tabMain = place(new ThirdsTabWidget(client), "tabMain", twipRect(315, 135, 6495, 5835));
    pageFolders = new QWidget;
    pageFolders->setObjectName(QStringLiteral("pageFolders"));
    pageOptions = new QWidget;
    pageOptions->setObjectName(QStringLiteral("pageOptions"));
    tabMain->addTab(pageFolders, QString());
    tabMain->addTab(pageOptions, QString());

    cmdAdd = place(new QPushButton(QStringLiteral("&Add Folders..."), pageFolders), "cmdAdd",
                   twipRect(1320, 510, 1305, 405));
    cmdAdd->setToolTip(QStringLiteral("Add folders for processing."));
    cmdClear = place(new QPushButton(QStringLiteral("&Clear"), pageFolders), "cmdClear",
                     twipRect(3825, 510, 1305, 405));
    cmdClear->setToolTip(QStringLiteral("Clear the folders list."));
    lstFolders = place(new FolderListBox(pageFolders), "lstFolders", twipRect(360, 1035, 5790, 2595));
    KeepFrameWhole(lstFolders);
    lstFolders->setAcceptDrops(true);
    lstFolders->viewport()->setAcceptDrops(true); // item views take drops on their viewport
    lstFolders->setDragDropMode(QAbstractItemView::DropOnly);
    lstFolders->onDrop = [this](const QStringList &paths) { lstFolders_OLEDragDrop(paths); };
    lstFolders->setAccessibleName(QStringLiteral("Folders"));
    cmdProcess = place(new QPushButton(QStringLiteral("&Process"), pageFolders), "cmdProcess",
                       twipRect(2595, 3855, 1305, 405));
    cmdProcess->setToolTip(QStringLiteral("Process the files in the selected folders."));
    fraProgress = place(new QGroupBox(QStringLiteral("Progress"), pageFolders), "fraProgress",
                        twipRect(360, 4395, 5790, 1200));
    auto *label5 = place(new QLabel(QStringLiteral("All Files:"), fraProgress), "Label5", twipRect(75, 360, 915, 270));
    pbrAllFiles = progressBar(fraProgress, "pbrAllFiles", twipRect(1095, 360, 4440, 270));
    auto *label4 =
        place(new QLabel(QStringLiteral("This Folder:"), fraProgress), "Label4", twipRect(75, 765, 915, 270));
    pbrThisFolder = progressBar(fraProgress, "pbrThisFolder", twipRect(1095, 765, 4440, 270));
    pbrAllFiles->setAccessibleName(QStringLiteral("All Files"));
    pbrThisFolder->setAccessibleName(QStringLiteral("This Folder"));
    // Labels grown for a wider font push their bars right, keeping the designed gap.
    keepClear({label4, label5}, {pbrAllFiles, pbrThisFolder}, px(1095) - px(75 + 915), fraProgress->width() - 2);

    fraDestination = place(new QGroupBox(QStringLiteral("Destination Folders"), pageOptions), "fraDestination",
                           twipRect(420, 735, 5715, 2415));
    auto *label1 =
        place(new QLabel(QStringLiteral("Red Folder:"), fraDestination), "Label1", twipRect(195, 510, 1100, 270));
    txtRedDir = place(new QLineEdit(fraDestination), "txtRedDir", twipRect(1455, 435, 3500, 350));
    auto *label2 =
        place(new QLabel(QStringLiteral("Green Folder:"), fraDestination), "Label2", twipRect(195, 1110, 1100, 270));
    txtGreenDir = place(new QLineEdit(fraDestination), "txtGreenDir", twipRect(1455, 1035, 3500, 350));
    auto *label3 =
        place(new QLabel(QStringLiteral("Blue Folder:"), fraDestination), "Label3", twipRect(195, 1710, 1100, 270));
    txtBlueDir = place(new QLineEdit(fraDestination), "txtBlueDir", twipRect(1455, 1635, 3500, 350));
    // A screen reader names each field by the label beside it.
    label1->setBuddy(txtRedDir);
    label2->setBuddy(txtGreenDir);
    label3->setBuddy(txtBlueDir);
    for (QLineEdit *edit : {txtRedDir, txtGreenDir, txtBlueDir})
        edit->setMaxLength(std::numeric_limits<int>::max()); // names have no length limit
    keepClear({label1, label2, label3}, {txtRedDir, txtGreenDir, txtBlueDir}, px(1455) - px(195 + 1100),
              fraDestination->width() - 2);

    stsStatus = new QStatusBar(this);
    stsStatus->setObjectName(QStringLiteral("stsStatus"));
    stsStatus->setSizeGripEnabled(false);
    stsStatus->setFixedHeight(px(285));
    // The panels keep their own widths and are not laid out by the bar, so
    // the second runs past the window's edge and is cut off there rather
    // than widening the window.
    panelStatus = new QLabel(stsStatus);
    panelStatus->setObjectName(QStringLiteral("stsStatusPanel1"));
    panelMode = new QLabel(stsStatus);
    panelMode->setObjectName(QStringLiteral("stsStatusPanel2"));
    for (QLabel *panel : {panelStatus, panelMode}) {
        panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        panel->hide();
    }
    setStatusBar(stsStatus);

    setTabOrder(tabMain, cmdAdd);
    setTabOrder(cmdAdd, cmdClear);
    setTabOrder(cmdClear, cmdProcess);
    setTabOrder(cmdProcess, lstFolders);
    setTabOrder(lstFolders, txtRedDir);
    setTabOrder(txtRedDir, txtGreenDir);
    setTabOrder(txtGreenDir, txtBlueDir);

    connect(cmdAdd, &QPushButton::clicked, this, [this] { cmdAdd_Click(); });
    connect(cmdClear, &QPushButton::clicked, this, [this] { cmdClear_Click(); });
    connect(cmdProcess, &QPushButton::clicked, this, [this] { cmdProcess_Click(); });

    m_fields = {{txtRedDir, "RedDir", "Red", &SavedRedDir},
                {txtGreenDir, "GreenDir", "Green", &SavedGreenDir},
                {txtBlueDir, "BlueDir", "Blue", &SavedBlueDir}};

    layout()->activate();
    setFixedSize(px(7110), menuBar()->sizeHint().height() + px(6555));
}

void frmMain::Form_Load()
{
    // Before anything that could show a message: a second instance ends
    // silently, whatever its stored options hold.
    if (m_platform.previousInstance()) {
        m_desktop->activateRunningInstance(); // the window already open comes to the front instead
        m_endedAtStartup = true;
        mnuFileSave->setEnabled(false);
        mnuFileExit_Click();
        return;
    }

    // The tab captions, chosen with the control's own selections; no handler is
    // connected yet, so these selections never prompt.
    tabMain->setCurrentIndex(0);
    tabMain->setTabText(0, QStringLiteral("Fol&ders"));
    tabMain->setCurrentIndex(1);
    tabMain->setTabText(1, QStringLiteral("&Options"));
    tabMain->setCurrentIndex(0);
    m_currentTab = 0;

    panelStatus->setGeometry(0, 0, px(5000), px(285));
    panelMode->setGeometry(px(5000), 0, px(2200), px(285));
    panelStatus->setText(QStringLiteral("Ready..."));
    panelMode->setText(QStringLiteral("Mode: Prismora only"));
    panelStatus->show();
    panelMode->show();

    pbrThisFolder->setValue(0);
    pbrAllFiles->setValue(0);

    for (DirField &field : m_fields) {
        connect(field.edit, &QLineEdit::textChanged, this, [this, &field] { dirField_Change(field); });
        field.edit->setText(
            GetSetting(QStringLiteral("Main"), QLatin1String(field.key), QLatin1String(field.defaultName)));
        *field.saved = field.edit->text();
    }
    mnuFileSave->setEnabled(false);

    connect(tabMain, &QTabWidget::currentChanged, this, [this](int index) {
        const int previous = m_currentTab;
        m_currentTab = index;
        tabMain_Click(previous);
    });
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget *from, QWidget *to) { focusMoved(from, to); });
    m_desktop->offerActivation([this](const QString &token) { showWindow(token); });
}

void frmMain::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    placeTabPages();
}

// Controls on the tabs are designed relative to the whole tab control,
// whose pages begin below the tab row.
void frmMain::placeTabPages()
{
    for (QWidget *page : {pageFolders, pageOptions}) {
        const QPoint origin = page->mapTo(tabMain, QPoint(0, 0));
        for (QWidget *child : page->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            const QRect design = child->property(kDesignRect).toRect();
            if (!design.isNull())
                child->move(design.topLeft() - origin);
        }
    }
}

void frmMain::setCaption(const QString &caption)
{
    setWindowTitle(caption);
    // The caption marks a run's start and end: the task bar follows it.
    m_processing = caption == BatchRun::processingCaption();
    if (!m_processing)
        m_desktop->hideProgress();
}

void frmMain::setThisFolderProgress(int value)
{
    pbrThisFolder->setValue(value);
}

void frmMain::setAllFilesProgress(int value)
{
    pbrAllFiles->setValue(value);
    if (m_processing)
        m_desktop->setProgress(value);
}

void frmMain::setStatusText(const QString &text)
{
    panelStatus->setText(text);
}

QString frmMain::redDirName() const
{
    return txtRedDir->text();
}

QString frmMain::greenDirName() const
{
    return txtGreenDir->text();
}

QString frmMain::blueDirName() const
{
    return txtBlueDir->text();
}

// A user who looked away is told how the run ended; one who watches sees it.
void frmMain::runEnded(int filesSplit, int folders, const QString &error)
{
    if (isActiveWindow())
        return;
    const auto count = [](int n, const char *one, const char *many) {
        return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
    };
    if (!error.isEmpty())
        m_desktop->notify(QStringLiteral("The run ended on an error"), error, [this] { showWindow(); });
    else
        m_desktop->notify(QStringLiteral("The run has finished"),
                          filesSplit == 0 ? QStringLiteral("No file was split.")
                                          : QStringLiteral("Split %1 from %2.")
                                                .arg(count(filesSplit, "file", "files"), count(folders, "folder", "folders")),
                          [this] { showWindow(); });
}

void frmMain::showWindow(const QString &activationToken)
{
    showNormal();
    raise();
    // A box open meanwhile stays in front of the window it blocks.
    QWidget *front = QApplication::activeModalWidget();
    if (!front)
        front = this;
    front->raise();
    // Wayland gives the focus only with the launcher's token, which the
    // toolkit reads from the environment; no program started later inherits it.
    if (!activationToken.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
    front->activateWindow();
    if (!activationToken.isEmpty())
        qunsetenv("XDG_ACTIVATION_TOKEN");
}

QStringList frmMain::folders() const
{
    QStringList list;
    for (int i = 0; i < lstFolders->count(); ++i)
        list.append(lstFolders->item(i)->text());
    return list;
}

bool frmMain::addFolder(const QString &path)
{
    if (!lstFolders->findItems(path, Qt::MatchExactly | Qt::MatchCaseSensitive).isEmpty()) {
        m_platform.beep();
        return false;
    }
    lstFolders->addItem(path);
    return true;
}

void frmMain::lstFolders_OLEDragDrop(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (FileExists(path))
            continue;
        addFolder(path);
    }
}

void frmMain::cmdAdd_Click()
{
    // Created at the first opening and kept while hidden; its own close
    // control destroys it, and the next opening makes it anew.
    if (!m_addFolder) {
        m_addFolder = new frmAddFolder(
            m_platform, this, [this] { return folders(); }, [this](const QString &path) { lstFolders->addItem(path); });
        registerWindow(m_addFolder);
    }
    m_addFolder->showModal();
}

void frmMain::cmdClear_Click()
{
    lstFolders->clear();
}

void frmMain::cmdProcess_Click()
{
    // The window goes on answering during a run; pressed again, Process only beeps.
    if (!m_run.start())
        m_platform.beep();
}

void frmMain::mnuHelpAbout_Click()
{
    auto *about = new frmAbout(m_platform); // deletes itself when closed
    registerWindow(about);
    about->exec();
}

void frmMain::SaveOptions()
{
    for (DirField &field : m_fields) {
        SaveSetting(QStringLiteral("Main"), QLatin1String(field.key), field.edit->text());
        *field.saved = field.edit->text();
    }
    mnuFileSave->setEnabled(false);
}

void frmMain::tabMain_Click(int previousTab)
{
    if (previousTab != 1)
        return;
    // A field that still holds the focus loses it with its page: its rule
    // runs before the question is asked.
    if (DirField *field = fieldOf(QApplication::focusWidget()))
        dirField_LostFocus(*field);
    if (!mnuFileSave->isEnabled())
        return;
    if (AskYesNo(m_platform, SaveOptionsPrompt(), QStringLiteral("Save Options")))
        SaveOptions();
    else
        mnuFileSave->setEnabled(false);
}

frmMain::DirField *frmMain::fieldOf(QWidget *widget)
{
    for (DirField &field : m_fields)
        if (field.edit == widget)
            return &field;
    return nullptr;
}

void frmMain::dirField_Change(DirField &field)
{
    const QString result = CheckFolderName(field.edit->text());
    if (result == QLatin1String("OK"))
        return;
    ShowNotice(m_platform, InvalidFolderNameMessage(result), QStringLiteral("Invalid Folder Name"));
    QString restored = GetSetting(QStringLiteral("Main"), QLatin1String(field.key), QLatin1String(field.defaultName));
    // A stored name that is itself not valid would bring the message back
    // without end: the default takes its place.
    if (CheckFolderName(restored) != QLatin1String("OK"))
        restored = QLatin1String(field.defaultName);
    field.edit->setText(restored);
}

void frmMain::dirField_LostFocus(DirField &field)
{
    if (field.edit->text() != *field.saved)
        mnuFileSave->setEnabled(true);
}

void frmMain::focusMoved(QWidget *from, QWidget *to)
{
    // Only a move to another control of this window is a LostFocus; a message
    // box, another window, another program or an opened menu taking the focus
    // is not.
    if (!to || to->window() != this || qobject_cast<QMenuBar *>(to) || qobject_cast<QMenu *>(to))
        return;
    if (DirField *field = fieldOf(from))
        dirField_LostFocus(*field);
}

void frmMain::registerWindow(QWidget *window)
{
    m_loadedWindows.append(window);
}

void frmMain::mnuFileExit_Click()
{
    if (m_exiting)
        return;
    m_exiting = true;
    for (qsizetype i = m_loadedWindows.size() - 1; i >= 0; --i) {
        QWidget *window = m_loadedWindows[i];
        if (!window)
            continue;
        if (window == this)
            close();
        else
            window->deleteLater();
    }
    m_loadedWindows.clear();
    m_exiting = false;
}

void frmMain::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
    if (!m_exiting)
        mnuFileExit_Click();
}

void frmMain::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    // The files in progress are abandoned: none of their outputs is put in place.
    m_run.abandon();
    m_desktop->hideProgress(true);
    if (mnuFileSave->isEnabled() && AskYesNo(m_platform, SaveOptionsPrompt(), QStringLiteral("Save Options")))
        SaveOptions();
}
