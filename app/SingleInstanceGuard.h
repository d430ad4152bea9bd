#pragma once

#include <QString>

#include <memory>

class QLockFile;

// Lets one copy of the program run per user: a lock file in a folder only this user can
// write (the session's runtime folder, else a private folder of the user's own) marks the
// running instance for as long as the guard lives. Another local user can neither take nor
// hold it, and a lock left by a process that died is taken over.
class SingleInstanceGuard
{
public:
    SingleInstanceGuard();
    ~SingleInstanceGuard();

    // True when no other instance of this user runs; this process is then marked as the
    // running one.
    bool acquire();

    // The folder that holds the lock: $XDG_RUNTIME_DIR when it is the user's own and
    // closed to others, else "tolvane-downloader-<uid>" in the temporary folder, else
    // "tolvane-downloader" in the user's cache folder, each made (0700) when missing and
    // used only when it is a folder of this user's that nobody else can write. Empty when
    // none is.
    static QString lockFolder();

private:
    std::unique_ptr<QLockFile> m_lock;
};
