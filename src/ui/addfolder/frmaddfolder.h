#pragma once

#include <QDialog>
#include <functional>

class Platform;
class FolderList;
class QComboBox;
class QLabel;
class QPushButton;

// The dialog that browses volumes and folders and adds folders, one at a time,
// to the main window's list. "&Close" only hides it; its own close control
// destroys it.
class frmAddFolder : public QDialog
{
public:
    // `listed` gives the main window's current entries; `add` appends one.
    frmAddFolder(Platform &platform, QWidget *mainWindow, std::function<QStringList()> listed,
                 std::function<void(const QString &)> add);

    // Shows the dialog modally; returns once it is hidden or destroyed.
    void showModal();

    QString path() const;
    // The volume shown by the drive list (its root path).
    QString drive() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Load(QWidget *mainWindow);
    void Form_Activate();
    void Drive1_Change(int index);
    void cmdAdd_Click();
    void cmdCancel_Click();
    void fillDrives();
    void showDriveOf(const QString &folder);

    Platform &m_platform;
    std::function<QStringList()> m_listed;
    std::function<void(const QString &)> m_add;

    QComboBox *Drive1 = nullptr;
    FolderList *Dir1 = nullptr;
    QPushButton *cmdAdd = nullptr;
    QPushButton *cmdCancel = nullptr;
    QLabel *lblPath = nullptr;
};
