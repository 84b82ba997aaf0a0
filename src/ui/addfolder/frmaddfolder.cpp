#include "ui/addfolder/frmaddfolder.h"

#include "filesys/paths.h"
#include "platform/platform.h"
#include "platform/settings.h"
#include "ui/addfolder/folderlist.h"
#include "ui/common/twips.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStorageInfo>

namespace {

QString lastPathSection()
{
    return QStringLiteral("AddFolders");
}

QString lastPathKey()
{
    return QStringLiteral("LastPath");
}

// Volumes the user can browse: mounted, ready and readable.
QList<QStorageInfo> readableVolumes()
{
    QList<QStorageInfo> volumes;
    for (const QStorageInfo &volume : QStorageInfo::mountedVolumes()) {
        if (volume.isValid() && volume.isReady() && QFileInfo(volume.rootPath()).isReadable())
            volumes.append(volume);
    }
    std::sort(volumes.begin(), volumes.end(),
              [](const QStorageInfo &a, const QStorageInfo &b) { return a.rootPath() < b.rootPath(); });
    return volumes;
}

// The drive list. Its own class name lets it carry its own accessible name:
// the toolkit would otherwise announce a drop-down list by its current text.
class DriveList : public QComboBox
{
    Q_OBJECT

public:
    using QComboBox::QComboBox;
};

// A drop-down list named "Drives", its value the selected volume; the list
// it drops down is its child, and pressing it opens that list.
class AccessibleDriveList : public QAccessibleWidget
{
public:
    explicit AccessibleDriveList(DriveList *list) : QAccessibleWidget(list, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return QStringLiteral("Drives");
        if (t == QAccessible::Value)
            return list()->currentText();
        return QAccessibleWidget::text(t);
    }
    int childCount() const override { return 1; }
    QAccessibleInterface *child(int index) const override
    {
        return index == 0 ? QAccessible::queryAccessibleInterface(list()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child && child->object() == list()->view() ? 0 : -1;
    }
    QStringList actionNames() const override { return {showMenuAction(), pressAction()}; }
    void doAction(const QString &action) override
    {
        if (action == showMenuAction() || action == pressAction())
            list()->showPopup();
    }

private:
    DriveList *list() const { return static_cast<DriveList *>(widget()); }
};

QAccessibleInterface *driveListFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("DriveList"))
        if (auto *list = qobject_cast<DriveList *>(object))
            return new AccessibleDriveList(list);
    return nullptr;
}

} // namespace

frmAddFolder::frmAddFolder(Platform &platform, QWidget *mainWindow, std::function<QStringList()> listed,
                           std::function<void(const QString &)> add)
    : m_platform(platform), m_listed(std::move(listed)), m_add(std::move(add))
{
    setObjectName(QStringLiteral("frmAddFolder"));
    setWindowTitle(QStringLiteral("Add Folder"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(px(7125), px(4530));

    static const bool factoryInstalled = [] {
        QAccessible::installFactory(driveListFactory);
        return true;
    }();
    (void)factoryInstalled;
    Drive1 = new DriveList(this);
    Drive1->setObjectName(QStringLiteral("Drive1"));
    Drive1->setGeometry(twipRect(105, 105, 3540, 315));
    Dir1 = new FolderList(this);
    Dir1->setObjectName(QStringLiteral("Dir1"));
    Dir1->setAccessibleName(QStringLiteral("Folders"));
    Dir1->setGeometry(twipRect(120, 465, 6885, 3015));
    cmdAdd = new QPushButton(QStringLiteral("&Add"), this);
    cmdAdd->setObjectName(QStringLiteral("cmdAdd"));
    cmdAdd->setGeometry(twipRect(5745, 3600, 1245, 390));
    cmdCancel = new QPushButton(QStringLiteral("&Close"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(twipRect(5745, 4080, 1245, 390));
    lblPath = new QLabel(this);
    lblPath->setObjectName(QStringLiteral("lblPath"));
    lblPath->setGeometry(twipRect(795, 3780, 3840, 480));
    lblPath->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    // Neither button answers Enter or Esc.
    for (QPushButton *button : {cmdAdd, cmdCancel}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    setTabOrder(Drive1, Dir1);
    setTabOrder(Dir1, cmdAdd);
    setTabOrder(cmdAdd, cmdCancel);

    Dir1->onPathChanged = [this](const QString &folder) {
        lblPath->setText(lblPath->fontMetrics().elidedText(folder, Qt::ElideMiddle, lblPath->width()));
    };
    connect(cmdAdd, &QPushButton::clicked, this, [this] { cmdAdd_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });

    Form_Load(mainWindow);
    connect(Drive1, &QComboBox::activated, this, [this](int index) { Drive1_Change(index); });
}

void frmAddFolder::Form_Load(QWidget *mainWindow)
{
    if (mainWindow)
        move(mainWindow->pos() + QPoint(px(2000), px(2500)));
    fillDrives();
    const QString stored = GetSetting(lastPathSection(), lastPathKey(), GetWindowsDir());
    // A stored path that is a plain file, or gone, counts as missing.
    if (!FolderExists(stored) || !Dir1->setPath(stored))
        Dir1->setPath(GetWindowsDir());
    showDriveOf(Dir1->path());
    Drive1->setFocus();
}

void frmAddFolder::fillDrives()
{
    Drive1->clear();
    for (const QStorageInfo &volume : readableVolumes()) {
        const QString name = volume.displayName();
        const QString label = name == volume.rootPath() ? name : volume.rootPath() + QStringLiteral("  [") + name + QLatin1Char(']');
        Drive1->addItem(label, volume.rootPath());
    }
}

// Selecting from code never moves the folder list.
void frmAddFolder::showDriveOf(const QString &folder)
{
    const QString root = VolumeRoot(folder);
    int index = Drive1->findData(root);
    if (index < 0) {
        Drive1->addItem(root, root);
        index = Drive1->count() - 1;
    }
    const QSignalBlocker quiet(Drive1);
    Drive1->setCurrentIndex(index);
}

void frmAddFolder::showModal()
{
    Form_Activate();
    exec(); // shows the dialog application-modal until it is hidden or closed
}

void frmAddFolder::Form_Activate()
{
    // A folder deleted while the dialog was hidden gives way to the nearest
    // folder above it that still exists.
    QString folder = Dir1->path();
    while (!QFileInfo(folder).isDir() && !QDir(folder).isRoot() && !folder.isEmpty())
        folder = QFileInfo(folder).path();
    if (folder != Dir1->path() && Dir1->setPath(folder))
        showDriveOf(folder);
    else
        Dir1->Refresh();
}

void frmAddFolder::Drive1_Change(int index)
{
    const QString root = Drive1->itemData(index).toString();
    // Choosing the drive already shown keeps the folder browsed to.
    if (root == VolumeRoot(Dir1->path()))
        return;
    // A volume that cannot be read: back to the folder list's own volume.
    if (!QFileInfo(root).isReadable() || !QDir(root).exists() || !Dir1->setPath(root)) {
        m_platform.beep();
        showDriveOf(Dir1->path());
    }
}

void frmAddFolder::cmdAdd_Click()
{
    const QString folder = Dir1->path();
    // A folder deleted while it was shown is never added.
    if (!QFileInfo(folder).isDir()) {
        m_platform.beep();
        return;
    }
    SaveSetting(lastPathSection(), lastPathKey(), folder);
    bool found = false;
    for (const QString &entry : m_listed())
        if (entry == folder)
            found = true;
    if (found)
        m_platform.beep();
    else
        m_add(folder);
}

void frmAddFolder::cmdCancel_Click()
{
    SaveSetting(lastPathSection(), lastPathKey(), Dir1->path());
    hide();
}

QString frmAddFolder::path() const
{
    return Dir1->path();
}

QString frmAddFolder::drive() const
{
    return Drive1->currentData().toString();
}

void frmAddFolder::keyPressEvent(QKeyEvent *event)
{
    // Enter and Esc press no button and do not close the dialog.
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmAddFolder::closeEvent(QCloseEvent *event)
{
    // The window's own close control destroys the dialog; "LastPath" stays as it was.
    event->accept();
    deleteLater();
}

#include "frmaddfolder.moc"
