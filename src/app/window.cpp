#include "app/window.h"

#include "batch/batchrun.h"
#include "platform/qtplatform.h"
#include "ui/main/frmmain.h"

#include <QApplication>

#include <chrono>

// Outside any namespace, and outside the entry, whose names have C linkage.
static void initResources()
{
    Q_INIT_RESOURCE(resources);
}

extern "C" __attribute__((visibility("default"))) int PrismoraRunWindow(int argc, char *argv[])
{
    initResources();
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
