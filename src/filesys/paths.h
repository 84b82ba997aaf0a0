#pragma once

#include <QString>

// Small path helpers. They work on the text they are given: no separator is
// converted and no path is made absolute.

// The text up to its first NUL, or all of it.
QString TrimNull(const QString &text);
// The path with the platform's separator appended unless it already ends in one.
QString AddBackslash(const QString &path);
// The stored name of the first entry the file search finds for `path`
// (wildcards allowed in the last part); empty when there is none.
QString GetFileName(const QString &path);
// True for an existing folder and also for an existing plain file.
bool FolderExists(const QString &path);
// True for an existing plain file, false for a folder.
bool FileExists(const QString &path);
// The fixed folder that serves as the default place to start browsing.
QString GetWindowsDir();
// "OK" when `name` holds none of the nine characters a folder name cannot
// hold; otherwise one of them: "?" whenever present, else the last found in
// the order \ / : * ? " < > |.
QString CheckFolderName(const QString &name);
// Empty when `name` can name a destination folder; otherwise why not, naming
// the field (`field`, as "Red Folder"). "", "." and ".." would put the channel
// files into the source folder or its parent, where the next run would take
// them for sources.
QString DestinationNameProblem(const QString &field, const QString &name);
