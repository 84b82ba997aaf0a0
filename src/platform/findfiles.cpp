#include "platform/findfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>

namespace {

bool hasWildcard(const QString &text)
{
    return text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?'));
}

bool sameLetter(QChar a, QChar b)
{
    return a == b || a.toCaseFolded() == b.toCaseFolded();
}

} // namespace

bool MatchesPattern(const QString &name, const QString &pattern)
{
    // "*.*" has always meant every entry, dotted or not.
    if (pattern == QLatin1String("*.*") || pattern == QLatin1String("*"))
        return true;
    // Greedy match with backtracking to the last star: linear for one star.
    qsizetype n = 0, p = 0, starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == QLatin1Char('*')) {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == QLatin1Char('?') || sameLetter(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

bool FileFinder::findFirst(const QString &path, FindData &data)
{
    close();
    if (path.isEmpty() || path.endsWith(QLatin1Char('/')))
        return false;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString pattern = path.mid(slash + 1);

    if (!hasWildcard(pattern)) {
        // A plain path is one look-up, not a listing of its folder.
        const QFileInfo info(path);
        if (!info.exists())
            return false;
        m_entries.append({info.isDir() ? kAttributeDirectory : 0u, info.fileName()});
    } else {
        const QString folder = slash < 0 ? QStringLiteral(".") : slash == 0 ? QStringLiteral("/") : path.left(slash);
        const QFileInfo folderInfo(folder);
        if (!folderInfo.isDir() || !folderInfo.isReadable())
            return false;
        QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        while (it.hasNext()) {
            it.next();
            const QString name = it.fileName();
            if (MatchesPattern(name, pattern))
                m_entries.append({it.fileInfo().isDir() ? kAttributeDirectory : 0u, name});
        }
        std::sort(m_entries.begin(), m_entries.end(), [](const FindData &a, const FindData &b) {
            const int folded = a.fileName.compare(b.fileName, Qt::CaseInsensitive);
            return folded != 0 ? folded < 0 : a.fileName < b.fileName;
        });
    }
    return findNext(data);
}

bool FileFinder::findNext(FindData &data)
{
    if (m_next >= m_entries.size())
        return false;
    data = m_entries[m_next++];
    return true;
}

void FileFinder::close()
{
    m_entries.clear();
    m_next = 0;
}

QString DirFirst(const QString &path, std::uint32_t mask)
{
    if (path.endsWith(QLatin1Char('/'))) {
        // A folder written with its final separator names that folder itself
        // ("."), which only the folder mask lets through.
        if ((mask & kAttributeDirectory) == 0 || !QFileInfo(path).isDir())
            return {};
        return QStringLiteral(".");
    }
    // A name that holds "*" or "?" itself and exists is taken as written.
    const QFileInfo literal(path);
    if (literal.exists())
        return ((mask & kAttributeDirectory) != 0 || !literal.isDir()) ? literal.fileName() : QString();
    FileFinder finder;
    FindData data;
    for (bool found = finder.findFirst(path, data); found; found = finder.findNext(data)) {
        if ((data.attributes & kAttributeDirectory) == 0 || (mask & kAttributeDirectory) != 0)
            return data.fileName;
    }
    return {};
}

QString WindowsDirectory()
{
    return QDir::homePath();
}
