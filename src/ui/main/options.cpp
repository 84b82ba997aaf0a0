#include "ui/main/options.h"

QString SavedRedDir;
QString SavedGreenDir;
QString SavedBlueDir;

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

QString InvalidFolderNameMessage(const QString &character)
{
    return character + QStringLiteral(" is not a valid character to use in a folder name.\r\n")
           + QStringLiteral("The characters  \\  /  :  *  ?  \"  <  > and | are not\r\n")
           + QStringLiteral("allowed in a Windows folder name.");
}
