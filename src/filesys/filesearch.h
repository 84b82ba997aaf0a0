#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

// Drives one search for files whose names match a pattern.
struct FileSearch
{
    bool Recurse = false;
    QString FolderPath;
    QString Pattern;
    QString Reserved1; // unused
    QString Reserved2; // unused
    std::int32_t MatchCount = 0;
};

// The full paths found by the latest search, program-wide. The batch run
// resets it to one empty entry before each folder.
extern QStringList FileList;

// Matching names the latest searches passed over because the file system's
// encoding cannot carry them; the batch run empties it before each folder.
extern QStringList UnreadableNames;

// Lists the "*.bmp" files directly inside `folderPath` into FileList.
void FindBitmaps(const QString &folderPath);
// Lists the matching files of search.FolderPath (and, with Recurse, of its subfolders).
void SearchFolder(FileSearch &search);
// Adds the matching plain files of search.FolderPath itself to FileList.
void ListMatchingFiles(FileSearch &search);
