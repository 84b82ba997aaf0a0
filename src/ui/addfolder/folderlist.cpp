#include "ui/addfolder/folderlist.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStorageInfo>
#include <QStyle>

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kIndent = 3; // spaces per level, under the folder icons

} // namespace

FolderList::FolderList(QWidget *parent) : QListWidget(parent)
{
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
        auto *item = new QListWidgetItem(openIcon, QString(level * kIndent, QLatin1Char(' ')) + name, this);
        item->setData(kPathRole, folder);
        ++level;
    }
    setCurrentRow(count() - 1);
    const QFileInfoList subfolders =
        QDir(m_path).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &sub : subfolders) {
        auto *item = new QListWidgetItem(closedIcon, QString(level * kIndent, QLatin1Char(' ')) + sub.fileName(), this);
        item->setData(kPathRole, sub.absoluteFilePath());
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
