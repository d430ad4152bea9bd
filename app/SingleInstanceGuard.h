#pragma once

#include <QSharedMemory>
#include <QSystemSemaphore>

// Lets one copy of the program run per machine: a one-byte shared-memory segment marks
// the running instance, and a system semaphore serialises the check between processes
// that start at the same moment. Both live as long as the guard.
class SingleInstanceGuard
{
public:
    static const char *const semaphoreKey;
    static const char *const sharedMemoryKey;

    SingleInstanceGuard();

    // True when no other instance runs; this process is then marked as the running one.
    bool acquire();

private:
    QSystemSemaphore m_semaphore;
    QSharedMemory m_sharedMemory;
};
