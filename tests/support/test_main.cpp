#include "platform/fileio.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Settings and the instance lock live in a scratch folder, never the user's.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", (home.path() + QStringLiteral("/runtime")).toLocal8Bit());
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    IgnoreFileSizeSignal();
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
