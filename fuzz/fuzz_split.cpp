// libFuzzer target: arbitrary bytes as a source file, through the header read,
// the checks and the split, into a scratch folder. Besides the sanitizers it
// checks what must always hold: an accepted file gives three outputs of the
// size its header states, no more pixel bytes than the source holds, a refused
// one gives none, and no temporary file is ever left behind.

#include "bitmap/splitter.h"
#include "platform/fileio.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

struct Scratch
{
    Scratch()
    {
        IgnoreFileSizeSignal();
        for (const char *name : {"Red", "Green", "Blue"})
            QDir(dir.path()).mkdir(QLatin1String(name));
        source = dir.filePath(QStringLiteral("fuzz.bmp"));
    }
    QTemporaryDir dir;
    QString source;
};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

std::uint32_t u32At(const std::uint8_t *bytes)
{
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16
           | std::uint32_t{bytes[3]} << 24;
}

qint64 entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static Scratch scratch;
    {
        QFile file(scratch.source);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    }
    const QString red = scratch.dir.filePath(QStringLiteral("Red/R_fuzz.bmp"));
    QFile::remove(red);
    QString result;
    try {
        result = SplitBitmap(scratch.source, QStringLiteral("Red"), QStringLiteral("Green"), QStringLiteral("Blue"));
    } catch (const ProcessingError &) {
        std::abort(); // a source that stays put cannot fail to read or write here
    }
    if (result == QLatin1String("OK")) {
        QFile out(red);
        check(out.open(QIODevice::ReadOnly));
        const QByteArray header = out.read(54);
        check(header.size() == 54);
        const std::uint32_t stated = u32At(reinterpret_cast<const std::uint8_t *>(header.constData()) + 34);
        check(out.size() == 54 + static_cast<qint64>(stated));
        // Every byte stated comes from the source after its bfOffBits, which
        // lies past the file header and an information header of 12 or more.
        check(size >= 26);
        const auto offBits = static_cast<std::int32_t>(u32At(data + 10));
        check(offBits >= 26 && static_cast<qint64>(stated) <= static_cast<qint64>(size) - offBits);
    } else {
        check(!QFile::exists(red));
    }
    for (const char *name : {"Red", "Green", "Blue"})
        check(entries(scratch.dir.filePath(QLatin1String(name))) <= 1);
    return 0;
}
