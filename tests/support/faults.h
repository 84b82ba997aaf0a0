#pragma once

#include <cstddef>
#include <functional>

// A file system that fails, stalls or fills up, for the file layer's output
// files only, and one shared with another run. The test binaries are linked with the system calls wrapped
// (see tests/CMakeLists.txt); the program itself has no hook.

enum class FaultStep {
    Open,   // of an unnamed output file, or of a hidden temporary one
    Write,  // of an output file, with the bytes it adds
    Link,   // any link made into place
    Rename, // any rename
    Unlink, // of a hidden temporary name
    Close,  // of an output file, after it is closed
    Drop,   // an unfinished output is gone, with the bytes it held; its result is ignored
};

// Called at every such step, on whatever thread takes it; a non-zero result
// fails that step with that error number. Null: no fault. A call already
// made when it is set again goes on with the one it had.
void SetFault(std::function<int(FaultStep step, std::size_t count)> fault);

// Without unnamed files, as on file systems that have none.
void SetUnnamedFilesAllowed(bool allowed);

// Another run makes every folder a moment before this process asks to make
// it, which then finds it there (EEXIST).
void SetFoldersMadeMeanwhile(bool made);
