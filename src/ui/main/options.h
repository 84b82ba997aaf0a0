#pragma once

#include <QString>

// The destination folder names as last loaded from or written to the settings
// store. They only decide whether a field has changed.
extern QString SavedRedDir;
extern QString SavedGreenDir;
extern QString SavedBlueDir;

// "OK" when `name` holds none of the nine characters a folder name cannot
// hold; otherwise one of them: "?" whenever present, else the last found in
// the order \ / : * ? " < > |.
QString CheckFolderName(const QString &name);

// The three-line message for a rejected character.
QString InvalidFolderNameMessage(const QString &character);

inline QString SaveOptionsPrompt()
{
    return QStringLiteral("Do want to save the changes you made to the default folder names?");
}
