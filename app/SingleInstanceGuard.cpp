#include "app/SingleInstanceGuard.h"

const char *const SingleInstanceGuard::semaphoreKey = "e4a493a9-66ea-4f12-b942-000d578504c8";
const char *const SingleInstanceGuard::sharedMemoryKey = "82abc78e-6952-4eec-bea5-aae7856b73e0";

SingleInstanceGuard::SingleInstanceGuard()
    : m_semaphore(semaphoreKey, 1, QSystemSemaphore::Open)
    , m_sharedMemory(sharedMemoryKey)
{
}

bool SingleInstanceGuard::acquire()
{
    m_semaphore.acquire();
    {
        // A System V segment outlives a process killed with SIGKILL. Attaching and
        // detaching once removes it when nobody else is attached; a live instance keeps
        // its attachment, so the segment stays and the check below still refuses.
        QSharedMemory stale(sharedMemoryKey);
        if (stale.attach())
            stale.detach();
    }
    const bool anotherRunning = m_sharedMemory.attach(QSharedMemory::ReadWrite);
    if (!anotherRunning)
        m_sharedMemory.create(1, QSharedMemory::ReadWrite);
    m_semaphore.release(1);
    return !anotherRunning;
}
