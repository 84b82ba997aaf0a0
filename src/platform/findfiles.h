#pragma once

#include <QList>
#include <QString>
#include <cstdint>

// Folder listing in the manner of the desktop this tool grew up on: a pattern
// with "*" and "?" in the last part of a path, letters matched without regard
// to case, entries in the order of their upper-case names ("a", "b", "Z", "[x",
// "_a"), "." and ".." left out, and a folder bit on every entry.

constexpr std::uint32_t kAttributeDirectory = 16;

struct FindData
{
    std::uint32_t attributes = 0;
    QString fileName;
    // The name as stored is not valid in the file system's encoding: fileName
    // is only a likeness of it, and opening it would find nothing.
    bool undecodable = false;
};

// True when `name` matches `pattern` ("*" any run, "?" one character, case ignored).
bool MatchesPattern(const QString &name, const QString &pattern);

// One search, from FindFirst to FindClose.
class FileFinder
{
public:
    // Starts a search on `path`. False (an invalid handle) when nothing
    // matches or the folder cannot be listed; otherwise `data` is the first entry.
    bool findFirst(const QString &path, FindData &data);
    // The next entry; false when none is left.
    bool findNext(FindData &data);
    void close();

private:
    QList<FindData> m_entries;
    qsizetype m_next = 0;
};

// True when the folder at `path` can be listed.
bool FolderCanBeListed(const QString &path);

// The first entry for `path`: mask 0 plain files only, mask 16 plain files and
// folders. Empty when there is none.
QString DirFirst(const QString &path, std::uint32_t mask);

// The user's home folder, which stands in for the operating system's own folder.
QString WindowsDirectory();
