#include "filesys/paths.h"

#include "platform/findfiles.h"

#include <QDir>
#include <QFileInfo>

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
    // Names here may hold "*" and "?" themselves: an entry that exists under
    // the very name given is that entry, not the first one the pattern matches.
    const QFileInfo literal(path);
    if (!path.endsWith(QLatin1Char('/')) && literal.exists())
        return literal.fileName();
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

QString CheckFolderName(const QString &name)
{
    QString answer = QStringLiteral("OK");
    for (const QChar c : {u'\\', u'/', u':', u'*'})
        if (name.contains(c))
            answer = c;
    if (name.contains(u'?'))
        return QStringLiteral("?");
    for (const QChar c : {u'"', u'<', u'>', u'|'})
        if (name.contains(c))
            answer = c;
    return answer;
}

QString DestinationNameProblem(const QString &field, const QString &name)
{
    const QString where = name == QLatin1String("..") ? QStringLiteral("the source folder's parent")
                                                      : QStringLiteral("the source folder itself");
    if (name.isEmpty())
        return QStringLiteral("The %1 name is empty: the channel files would go into %2, where the next run "
                              "would split them again.")
            .arg(field, where);
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("The %1 name \"%2\" cannot be used: the channel files would go into %3, where the "
                              "next run would split them again.")
            .arg(field, name, where);
    return {};
}
