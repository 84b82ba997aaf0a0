#include "ui/main/options.h"

QString SavedRedDir;
QString SavedGreenDir;
QString SavedBlueDir;

QString InvalidFolderNameMessage(const QString &character)
{
    return character + QStringLiteral(" is not a valid character to use in a folder name.\r\n")
           + QStringLiteral("The characters  \\  /  :  *  ?  \"  <  > and | are not\r\n")
           + QStringLiteral("allowed in a Windows folder name.");
}
