#pragma once

#include <QLockFile>
#include <memory>

// One running instance per user: a lock file in the user's runtime folder.
// A lock left by a process that died does not count.
class InstanceLock
{
public:
    // Takes the lock if it is free; true when another live instance holds it.
    bool anotherInstanceRuns();

private:
    std::unique_ptr<QLockFile> m_lock;
};
