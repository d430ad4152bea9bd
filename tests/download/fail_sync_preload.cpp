// Loaded into the engine's process with LD_PRELOAD: fsync and fdatasync of a file whose path
// contains FAIL_SYNC_PATH_CONTAINS fail with EIO, as on a failing USB drive or a network
// share whose delayed write errors surface at the sync. Every other call goes through.

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

bool failsForDescriptor(int descriptor)
{
    const char *pattern = std::getenv("FAIL_SYNC_PATH_CONTAINS");
    if (!pattern || !*pattern)
        return false;
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
    const ssize_t length = ::readlink(link, target, sizeof target - 1);
    if (length < 0)
        return false;
    target[length] = '\0';
    return std::strstr(target, pattern) != nullptr;
}

using SyncCall = int (*)(int);

int callThrough(const char *name, int descriptor)
{
    auto real = reinterpret_cast<SyncCall>(dlsym(RTLD_NEXT, name));
    return real ? real(descriptor) : 0;
}

}

extern "C" int fdatasync(int descriptor)
{
    if (failsForDescriptor(descriptor)) {
        errno = EIO;
        return -1;
    }
    return callThrough("fdatasync", descriptor);
}

extern "C" int fsync(int descriptor)
{
    if (failsForDescriptor(descriptor)) {
        errno = EIO;
        return -1;
    }
    return callThrough("fsync", descriptor);
}
