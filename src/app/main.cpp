#include "app/commandline.h"
#include "batch/batchrun.h"
#include "platform/fileio.h"
#include "platform/qtplatform.h"
#include "ui/main/frmmain.h"

#include <QApplication>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {

// Qt works in UTF-8 and, in a plain C locale (a container's or a script's),
// switches to C.UTF-8 with a warning on standard error, which a script reads
// as a message of ours. The switch is made here instead, quietly.
void preferUtf8Locale()
{
    const char *ctype = std::setlocale(LC_CTYPE, "");
    if (!ctype || (std::strcmp(ctype, "C") != 0 && std::strcmp(ctype, "POSIX") != 0))
        return;
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        return;
    const char *all = std::getenv("LC_ALL");
    ::setenv(all && *all ? "LC_ALL" : "LC_CTYPE", "C.UTF-8", 1);
}

} // namespace

int main(int argc, char *argv[])
{
    preferUtf8Locale();
    IgnoreFileSizeSignal();
    if (argc > 1) {
        QCoreApplication app(argc, argv);
        return RunCommandLine(QCoreApplication::arguments());
    }
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Prismora"));
    QApplication::setApplicationName(QStringLiteral("Prismora"));
    QApplication::setApplicationVersion(QStringLiteral(PRISMORA_VERSION_TEXT));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/prismora-256.png")));

    QtPlatform platform;
    frmMain window(platform);
    if (window.endedAtStartup())
        return 0;
    window.show();
    const int code = app.exec();
    // Closed mid-run: the files not yet in place are abandoned, not waited
    // for, and the program ends within five seconds whatever a disk does.
    if (window.runInProgress())
        SettleAndExit(window.abandonRunForExit(), code, std::chrono::milliseconds(4000));
    return code;
}
