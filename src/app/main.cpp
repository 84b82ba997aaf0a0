#include "platform/fileio.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    IgnoreFileSizeSignal();
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Prismora"));
    QApplication::setApplicationName(QStringLiteral("Prismora"));
    std::fputs("Prismora: the main window does not exist yet; the split engine is built.\n", stderr);
    return 0;
}
