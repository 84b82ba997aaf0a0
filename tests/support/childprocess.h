#pragma once

#include <QString>
#include <functional>

// Faults that only a separate process can suffer or see: a disk that fills up,
// a process killed in the middle of its work.

// Runs `body` where `folder` (an existing empty folder) has room for `bytes`
// bytes that every file written there shares, as on a real disk that fills up:
// in a child process that sees a fresh file system of that size there, or,
// where this machine cannot give a process a file system of its own, in this
// process, with the output files' own layer keeping the same budget. Test
// assertions in `body` count as usual.
void RunOnSmallDisk(const QString &folder, long long bytes, const std::function<void()> &body);

// Starts `body` in a child process, waits until it calls the `ready` it is
// given, then kills it with SIGKILL and reaps it. False if the child ended
// before it was ready.
bool KillWhenReady(const std::function<void(const std::function<void()> &ready)> &body);
