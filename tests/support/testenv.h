#pragma once

#include "platform/fileio.h"

#include <QSettings>
#include <QTemporaryDir>

// Points settings and the instance lock at `home`, a scratch folder, and
// chooses the offscreen platform; call before the application object exists.
inline void PrepareTestEnvironment(const QTemporaryDir &home)
{
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", (home.path() + QStringLiteral("/runtime")).toLocal8Bit());
    qunsetenv("DBUS_SESSION_BUS_ADDRESS"); // no notification reaches the desktop the tests run on
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    IgnoreFileSizeSignal();
}

// The program's settings store, for tests to look into and to empty.
inline QSettings PrismoraSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Prismora"),
                     QStringLiteral("Prismora"));
}

inline void ClearSettings()
{
    auto settings = PrismoraSettings();
    settings.clear();
    settings.sync();
}
