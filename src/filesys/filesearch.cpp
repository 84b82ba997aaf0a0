#include "filesys/filesearch.h"

#include "filesys/paths.h"
#include "platform/findfiles.h"

QStringList FileList;
QStringList UnreadableNames;

void FindBitmaps(const QString &folderPath)
{
    FileSearch search;
    search.Recurse = false;
    search.FolderPath = folderPath;
    search.Pattern = QStringLiteral("*.bmp");
    SearchFolder(search);
}

void SearchFolder(FileSearch &search)
{
    const QString base = AddBackslash(search.FolderPath);
    // Without recursion the listing of every entry serves only to tell that
    // the folder can be listed; asking just that spares listing it twice.
    if (!search.Recurse) {
        if (FolderCanBeListed(search.FolderPath))
            ListMatchingFiles(search);
        return;
    }
    FileFinder folders;
    FindData data;
    if (!folders.findFirst(base + QStringLiteral("*.*"), data))
        return;
    ListMatchingFiles(search);
    {
        const QString top = search.FolderPath;
        do {
            if ((data.attributes & kAttributeDirectory) != 0) {
                search.FolderPath = base + TrimNull(data.fileName);
                SearchFolder(search);
            }
        } while (folders.findNext(data));
        search.FolderPath = top;
    }
    folders.close();
}

void ListMatchingFiles(FileSearch &search)
{
    const QString base = AddBackslash(search.FolderPath);
    FileFinder finder;
    FindData data;
    if (!finder.findFirst(base + search.Pattern, data))
        return;
    do {
        if ((data.attributes & kAttributeDirectory) != 0)
            continue;
        if (data.undecodable) {
            UnreadableNames.append(TrimNull(data.fileName));
            continue;
        }
        ++search.MatchCount;
        const QString name = TrimNull(data.fileName);
        QString path; // in one allocation
        path.reserve(base.size() + name.size());
        path.append(base).append(name);
        // The list ends at this search's latest match, whatever an earlier
        // search left beyond it. Appending keeps the growth amortised.
        const qsizetype index = search.MatchCount - 1;
        if (FileList.size() > index)
            FileList.resize(index);
        while (FileList.size() < index)
            FileList.append(QString());
        FileList.append(path);
    } while (finder.findNext(data));
    finder.close();
}
