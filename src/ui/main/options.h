#pragma once

#include <QString>

// The destination folder names as last loaded from or written to the settings
// store. They only decide whether a field has changed.
extern QString SavedRedDir;
extern QString SavedGreenDir;
extern QString SavedBlueDir;

// The three-line message for a rejected character.
QString InvalidFolderNameMessage(const QString &character);

inline QString SaveOptionsPrompt()
{
    return QStringLiteral("Do want to save the changes you made to the default folder names?");
}
