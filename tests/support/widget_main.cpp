#include "platform/fileio.h"

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Windows are tested on the offscreen platform, with settings and the
// instance lock in a scratch folder.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", (home.path() + QStringLiteral("/runtime")).toLocal8Bit());
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    IgnoreFileSizeSignal();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(resources);
    return RUN_ALL_TESTS();
}
