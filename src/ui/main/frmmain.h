#pragma once

#include "batch/batchrun.h"
#include "ui/main/backgroundrun.h"

#include <QListWidget>
#include <QMainWindow>
#include <QPointer>
#include <functional>

class DesktopBus;
class Platform;
class QAction;
class frmAddFolder;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTabWidget;

// The folder list: takes file-system paths dropped on it.
class FolderListBox : public QListWidget
{
public:
    using QListWidget::QListWidget;
    std::function<void(const QStringList &)> onDrop;

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
};

// The main window: the folder list, the buttons that fill, clear and process
// it, the progress display, and the destination folder names on a second tab.
class frmMain : public QMainWindow, public BatchWindow
{
public:
    explicit frmMain(Platform &platform, QWidget *parent = nullptr);
    ~frmMain() override;

    // True when start-up found another instance running; the window is then
    // closed and must not be shown.
    bool endedAtStartup() const { return m_endedAtStartup; }
    // True while a run works on its worker thread.
    bool runInProgress() const { return m_run.isRunning(); }
    // The program ends without waiting for the files in progress: the run,
    // abandoned, for SettleAndExit(); null when none is in progress.
    BatchRun *abandonRunForExit() { return m_run.abandonForExit(); }

    // BatchWindow
    void setCaption(const QString &caption) override;
    void setThisFolderProgress(int value) override;
    void setAllFilesProgress(int value) override;
    void setStatusText(const QString &text) override;
    QString redDirName() const override;
    QString greenDirName() const override;
    QString blueDirName() const override;
    QStringList folders() const override;
    void runEnded(int filesSplit, int folders, const QString &error) override;

    // Adds a dropped list of paths: files skipped, duplicates beep.
    void lstFolders_OLEDragDrop(const QStringList &paths);
    // Adds `path` unless it is listed already (exact, case-sensitive); beeps then.
    bool addFolder(const QString &path);
    void SaveOptions();
    void mnuFileExit_Click();

    // Windows opened from this one register here, so that leaving closes
    // them all, the most recently loaded first.
    void registerWindow(QWidget *window);
    // Brings the window to the front, as a notification's default action or
    // a second start does; `activationToken` is the launcher's, if any.
    void showWindow(const QString &activationToken = {});

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    struct DirField;

    void Form_Load();
    void Form_Unload();
    void buildControls();
    void placeTabPages();
    void cmdAdd_Click();
    void cmdClear_Click();
    void cmdProcess_Click();
    void mnuHelpAbout_Click();
    void tabMain_Click(int previousTab);
    void dirField_Change(DirField &field);
    void dirField_LostFocus(DirField &field);
    void focusMoved(QWidget *from, QWidget *to);
    DirField *fieldOf(QWidget *widget);

    Platform &m_platform;
    BackgroundRun m_run;
    DesktopBus *m_desktop = nullptr;
    bool m_processing = false; // the caption says so
    bool m_endedAtStartup = false;
    bool m_exiting = false;
    bool m_unloaded = false;
    int m_currentTab = 0;
    QList<QPointer<QWidget>> m_loadedWindows;
    QPointer<frmAddFolder> m_addFolder;

    QTabWidget *tabMain = nullptr;
    QWidget *pageFolders = nullptr;
    QWidget *pageOptions = nullptr;
    QPushButton *cmdAdd = nullptr;
    QPushButton *cmdClear = nullptr;
    QPushButton *cmdProcess = nullptr;
    FolderListBox *lstFolders = nullptr;
    QGroupBox *fraProgress = nullptr;
    QProgressBar *pbrAllFiles = nullptr;
    QProgressBar *pbrThisFolder = nullptr;
    QGroupBox *fraDestination = nullptr;
    QLineEdit *txtRedDir = nullptr;
    QLineEdit *txtGreenDir = nullptr;
    QLineEdit *txtBlueDir = nullptr;
    QStatusBar *stsStatus = nullptr;
    QLabel *panelStatus = nullptr;
    QLabel *panelMode = nullptr;
    QMenu *mnuFile = nullptr;
    QAction *mnuFileSave = nullptr;
    QAction *mnuFileExit = nullptr;
    QMenu *mnuHelp = nullptr;
    QAction *mnuHelpAbout = nullptr;

    struct DirField
    {
        QLineEdit *edit;
        const char *key;
        const char *defaultName;
        QString *saved;
    };
    QList<DirField> m_fields;
};
