#pragma once

#include <QListWidget>

#include <functional>

// The root of the volume that holds `folder`: the mount point nearest above
// it, or "/".
QString VolumeRoot(const QString &folder);

// A folder list in the manner of a classic folder browser: the chain of
// folders from the volume's root down to the current folder, then the current
// folder's subfolders, each indented one step further. Opening an entry
// (double-click or Enter) makes it current; selecting one alone changes nothing.
class FolderList : public QListWidget
{
public:
    explicit FolderList(QWidget *parent = nullptr);

    QString path() const { return m_path; }
    // Makes `folder` current; false (and nothing changes) when it is not a folder.
    bool setPath(const QString &folder);
    // Reads the entries from disk again.
    void Refresh();

    std::function<void(const QString &)> onPathChanged;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void open(QListWidgetItem *item);

    QString m_path;
};
