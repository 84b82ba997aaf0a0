#include "app/commandline.h"
#include "app/window.h"
#include "platform/fileio.h"

#include <QCoreApplication>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <dlfcn.h>
#include <sys/auxv.h>
#include <limits.h>
#include <unistd.h>

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

// The window module: beside the program in a build, in its folder of
// libraries once installed, wherever the two were put.
int runWindow(int argc, char *argv[])
{
    // The program as the system ran it, or, without /proc, as it was named to the system.
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self);
    std::string program;
    if (length > 0 && static_cast<std::size_t>(length) < sizeof self)
        program.assign(self, static_cast<std::size_t>(length));
    else if (const auto named = reinterpret_cast<const char *>(::getauxval(AT_EXECFN)); named && ::realpath(named, self))
        program = self;
    const std::string folder = program.substr(0, program.rfind('/') + 1);
    std::string module = folder + PRISMORA_WINDOW_MODULE; // as a build puts it
    if (::access(module.c_str(), F_OK) != 0)
        module = folder + PRISMORA_INSTALLED_MODULE_FOLDER PRISMORA_WINDOW_MODULE; // as installed
    const char *error = "the program's own folder is unknown";
    if (void *loaded = folder.empty() ? nullptr : ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (const auto run = reinterpret_cast<RunWindowEntry>(::dlsym(loaded, kRunWindowEntry)))
            return run(argc, argv);
    }
    if (!folder.empty())
        error = ::dlerror();
    std::fprintf(stderr, "prismora: cannot open the window: %s\n", error);
    return 1;
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
    return runWindow(argc, argv);
}
