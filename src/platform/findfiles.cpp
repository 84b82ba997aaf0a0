#include "platform/findfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>
#include <dirent.h>
#include <sys/stat.h>

namespace {

bool hasWildcard(const QString &text)
{
    return text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?'));
}

bool sameLetter(QChar a, QChar b)
{
    if (a == b)
        return true;
    // Plain letters fold among themselves; a sign such as KELVIN folds to one.
    if (a.unicode() < 0x80 && b.unicode() < 0x80) {
        const char16_t lower = a.unicode() | 0x20;
        return lower == (b.unicode() | 0x20) && lower >= u'a' && lower <= u'z';
    }
    return a.toCaseFolded() == b.toCaseFolded();
}

// What a pattern asks of a name, worked out once for a whole listing.
struct Pattern
{
    explicit Pattern(const QString &pattern)
        : text(pattern), tail(QStringView(pattern).sliced(std::min<qsizetype>(1, pattern.size())))
    {
        // "*.*" has always meant every entry, dotted or not.
        any = pattern == QLatin1String("*.*") || pattern == QLatin1String("*");
        // A star and then plain characters, as "*.bmp": the name's end decides.
        endOnly = pattern.startsWith(QLatin1Char('*')) && !tail.contains(QLatin1Char('*'))
                  && !tail.contains(QLatin1Char('?'));
    }

    bool matches(const QString &name) const;

    const QString &text;
    QStringView tail; // after the first character
    bool any = false;
    bool endOnly = false;
};

bool Pattern::matches(const QString &name) const
{
    if (any)
        return true;
    if (endOnly)
        return name.size() >= tail.size()
               && std::equal(tail.begin(), tail.end(), name.end() - tail.size(), sameLetter);
    const QString &pattern = text;
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

} // namespace

bool MatchesPattern(const QString &name, const QString &pattern)
{
    return Pattern(pattern).matches(name);
}

bool FileFinder::findFirst(const QString &path, FindData &data)
{
    close();
    if (path.isEmpty() || path.endsWith(QLatin1Char('/')))
        return false;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString patternText = path.mid(slash + 1);
    const Pattern pattern(patternText);

    if (!hasWildcard(patternText)) {
        // A plain path is one look-up, not a listing of its folder.
        const QFileInfo info(path);
        if (!info.exists())
            return false;
        m_entries.append({info.isDir() ? kAttributeDirectory : 0u, info.fileName(), false});
    } else {
        const QString folder = slash < 0 ? QStringLiteral(".") : slash == 0 ? QStringLiteral("/") : path.left(slash);
        DIR *dir = ::opendir(QFile::encodeName(folder).constData());
        if (!dir)
            return false;
        // The upper-case forms, one after another in one string, and where
        // each entry's lies in it: no string of its own per name. Each code
        // is kept as two bytes, high first, so that comparing bytes compares
        // codes.
        std::string uppers;
        std::vector<std::pair<std::size_t, std::size_t>> upperAt;
        QList<FindData> listed;
        // Adds the upper-case form of `name`, a plain one folded here as
        // toUpper() folds it, another already folded; where it lies.
        const auto addUpper = [&uppers](QStringView name, bool plain) {
            const std::size_t at = uppers.size();
            uppers.resize(at + 2 * static_cast<std::size_t>(name.size()));
            char *out = uppers.data() + at;
            for (const QChar c : name) {
                const char16_t code = plain && c >= u'a' && c <= u'z' ? char16_t(c.unicode() - 0x20) : c.unicode();
                *out++ = static_cast<char>(code >> 8);
                *out++ = static_cast<char>(code & 0xff);
            }
            return std::pair{at, uppers.size() - at};
        };
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArrayView raw(entry->d_name);
            if (raw == "." || raw == "..")
                continue;
            // A plain name is the same in every encoding a file system uses,
            // and comes back as it went; another is spelt again to tell.
            const bool plain = std::all_of(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
            FindData found;
            found.fileName = plain ? QString::fromLatin1(raw) : QFile::decodeName(entry->d_name);
            if (!pattern.matches(found.fileName))
                continue;
            found.undecodable = !plain && QFile::encodeName(found.fileName) != raw;
            bool isDir = entry->d_type == DT_DIR;
            struct stat st {};
            if ((entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK)
                && ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0)
                isDir = S_ISDIR(st.st_mode);
            found.attributes = isDir ? kAttributeDirectory : 0u;
            upperAt.push_back(plain ? addUpper(found.fileName, true) : addUpper(found.fileName.toUpper(), false));
            listed.append(std::move(found));
        }
        ::closedir(dir);
        // Upper-case forms compared code by code, as the original desktop
        // lists them; names alike but for case keep a fixed order.
        struct Key
        {
            std::string_view upper;
            qsizetype entry;
        };
        std::vector<Key> order;
        order.reserve(upperAt.size());
        for (const auto &[at, size] : upperAt)
            order.push_back({std::string_view(uppers).substr(at, size), static_cast<qsizetype>(order.size())});
        std::sort(order.begin(), order.end(), [&](const Key &a, const Key &b) {
            const int upper = a.upper.compare(b.upper);
            return upper != 0 ? upper < 0 : listed[a.entry].fileName < listed[b.entry].fileName;
        });
        m_entries.reserve(listed.size());
        for (const Key &key : order)
            m_entries.append(std::move(listed[key.entry]));
    }
    return findNext(data);
}

bool FileFinder::findNext(FindData &data)
{
    if (m_next >= m_entries.size())
        return false;
    data = std::move(m_entries[m_next++]); // each entry is handed out once
    return true;
}

void FileFinder::close()
{
    m_entries.clear();
    m_next = 0;
}

bool FolderCanBeListed(const QString &path)
{
    DIR *dir = path.isEmpty() ? nullptr : ::opendir(QFile::encodeName(path).constData());
    if (dir)
        ::closedir(dir);
    return dir != nullptr;
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
