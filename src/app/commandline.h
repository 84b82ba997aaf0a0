#pragma once

#include <QStringList>

// The program run from a script or a server: --help, --version, or --process
// over a list of folders. It needs no display and returns the exit code.
// Without any argument the program opens its window instead.
// A QCoreApplication must exist, and no other thread yet.
int RunCommandLine(const QStringList &arguments);
