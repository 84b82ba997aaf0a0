#pragma once

// The entry of the window module: the windows, their toolkit and the desktop
// bus live in a module of their own that the program loads only to show them,
// so that the command line starts with Qt Core alone. Returns the exit code.
extern "C" int PrismoraRunWindow(int argc, char *argv[]);
using RunWindowEntry = decltype(&PrismoraRunWindow);
inline constexpr char kRunWindowEntry[] = "PrismoraRunWindow";
