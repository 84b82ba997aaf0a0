#include "filesys/paths.h"

#include "platform/findfiles.h"

#include <QDir>

QString TrimNull(const QString &text)
{
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    return nul < 0 ? text : text.left(nul);
}

QString AddBackslash(const QString &path)
{
    const QChar separator = QDir::separator();
    return path.endsWith(separator) ? path : path + separator;
}

QString GetFileName(const QString &path)
{
    FileFinder finder;
    FindData data;
    if (!finder.findFirst(path, data))
        return {};
    const QString name = TrimNull(data.fileName);
    finder.close();
    return name;
}

bool FolderExists(const QString &path)
{
    return !DirFirst(path, kAttributeDirectory).isEmpty();
}

bool FileExists(const QString &path)
{
    return !DirFirst(path, 0).isEmpty();
}

QString GetWindowsDir()
{
    return WindowsDirectory();
}
