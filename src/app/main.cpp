#include "app/commandline.h"
#include "platform/fileio.h"
#include "platform/qtplatform.h"
#include "ui/main/frmmain.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    IgnoreFileSizeSignal();
    if (argc > 1)
        return RunCommandLine(argc, argv);
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
    if (window.runInProgress()) {
        // Closed mid-run: the file in progress is abandoned, not waited for.
        window.settleRunForExit();
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
