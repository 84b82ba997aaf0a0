#pragma once

#include <QString>
#include <functional>

// Faults that only a separate process can suffer or see: a disk that fills up,
// a process killed in the middle of its work.

// Runs `body` where `folder` (an existing empty folder) has room for
// `room(unit)` bytes that every file written there shares, as on a real disk
// that fills up, each file taking whole units of `unit` bytes: in a child
// process that sees a fresh tmpfs of that size there (pages of 4 KiB), or,
// where this machine cannot give a process a file system of its own (a
// container without mount rights, a chroot whose "/" is no mount point) or
// PRISMORA_TEST_SIMULATED_DISK is set, in this process, with the output files'
// own layer keeping the budget to the byte (a unit of 1). Test assertions in
// `body` count as usual.
void RunOnSmallDisk(const QString &folder, const std::function<long long(long long unit)> &room,
                    const std::function<void()> &body);

// Starts `body` in a child process, waits until it calls the `ready` it is
// given, then kills it with SIGKILL and reaps it. False if the child ended
// before it was ready.
bool KillWhenReady(const std::function<void(const std::function<void()> &ready)> &body);
