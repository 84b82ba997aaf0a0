#include "ui/addfolder/folderlist.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStorageInfo>
#include <QStyle>
#include <QStyledItemDelegate>

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

} // namespace

FolderList::FolderList(QWidget *parent) : QListWidget(parent)
{
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
    const QString root = QDir::cleanPath(QStorageInfo(m_path).rootPath());
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
