#pragma once

#include <QLockFile>
#include <memory>

// One running instance per user: a lock file in the user's runtime folder.
// Only a lock held by a live process counts; a lock left by a process that
// died, or one that cannot be read or taken at all, does not.
class InstanceLock
{
public:
    // Takes the lock if it is free; true when another live instance holds it.
    bool anotherInstanceRuns();
    static QString lockPath();

private:
    std::unique_ptr<QLockFile> m_lock;
};
