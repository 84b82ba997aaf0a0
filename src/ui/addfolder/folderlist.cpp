#include "ui/addfolder/folderlist.h"

#include "ui/common/pixelframe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStorageInfo>
#include <QStyle>
#include <QStyledItemDelegate>

#include <sys/stat.h>

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kLevelRole = Qt::UserRole + 1;

// Draws each entry indented by its depth in the chain. The indentation is
// space on screen only: the entry's text is the bare folder name, as a screen
// reader reads it and as typing its first letters finds it.
class IndentDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static int step(const QStyleOptionViewItem &option) { return option.decorationSize.width() / 2 + 4; }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem indented = option;
        indented.rect.adjust(index.data(kLevelRole).toInt() * step(option), 0, 0, 0);
        QStyledItemDelegate::paint(painter, indented, index);
    }
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.rwidth() += index.data(kLevelRole).toInt() * step(option);
        return size;
    }
};

bool deviceOf(const QString &path, dev_t &device)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    device = info.st_dev;
    return true;
}

// A folder on another device than the folder above it in the path. A link
// is a plain entry of the folder that holds it, wherever it points.
bool isMountPoint(const QString &folder)
{
    dev_t own = 0, parent = 0;
    return !QFileInfo(folder).isSymLink() && deviceOf(folder, own) && deviceOf(QFileInfo(folder).path(), parent)
           && own != parent;
}

bool isListedVolume(const QString &root)
{
    for (const QStorageInfo &volume : QStorageInfo::mountedVolumes())
        if (QDir::cleanPath(volume.rootPath()) == root)
            return true;
    return false;
}

} // namespace

QString VolumeRoot(const QString &folder)
{
    const QString path = QDir::cleanPath(folder);
    // Where no listed mount holds the path (a chroot whose "/" is none), some
    // Qt versions name the folder itself as its volume's root. The claim is
    // taken only for a mount point that holds the path; a bind mount on the
    // same device is known by the list of mounts.
    const QString claimed = QDir::cleanPath(QStorageInfo(path).rootPath());
    if (claimed == QLatin1String("/"))
        return claimed;
    if (!claimed.isEmpty() && (path == claimed || path.startsWith(claimed + QLatin1Char('/')))
        && (isMountPoint(claimed) || isListedVolume(claimed)))
        return claimed;
    for (QString at = path; !at.isEmpty() && !QDir(at).isRoot(); at = QFileInfo(at).path())
        if (isMountPoint(at))
            return at;
    return QStringLiteral("/");
}

FolderList::FolderList(QWidget *parent) : QListWidget(parent)
{
    KeepFrameWhole(this);
    setItemDelegate(new IndentDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(this, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem *item) { open(item); });
}

bool FolderList::setPath(const QString &folder)
{
    const QFileInfo info(folder);
    if (folder.isEmpty() || !info.isDir())
        return false;
    m_path = QDir::cleanPath(info.absoluteFilePath());
    Refresh();
    if (onPathChanged)
        onPathChanged(m_path);
    return true;
}

void FolderList::Refresh()
{
    clear();
    if (m_path.isEmpty())
        return;
    const QString root = VolumeRoot(m_path);
    QStringList chain;
    for (QString at = m_path;; at = QFileInfo(at).path()) {
        chain.prepend(at);
        if (at == root || QDir(at).isRoot() || at.isEmpty())
            break;
    }
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
    int level = 0;
    for (const QString &folder : chain) {
        const QString name = level == 0 ? folder : QFileInfo(folder).fileName();
        auto *item = new QListWidgetItem(openIcon, name, this);
        item->setData(kPathRole, folder);
        item->setData(kLevelRole, level);
        ++level;
    }
    setCurrentRow(count() - 1);
    const QFileInfoList subfolders =
        QDir(m_path).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &sub : subfolders) {
        auto *item = new QListWidgetItem(closedIcon, sub.fileName(), this);
        item->setData(kPathRole, sub.absoluteFilePath());
        item->setData(kLevelRole, level);
    }
}

void FolderList::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        open(currentItem());
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
}

void FolderList::open(QListWidgetItem *item)
{
    if (item)
        setPath(item->data(kPathRole).toString());
}
