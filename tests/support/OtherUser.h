#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// Running a program as a local user other than the test's own. As root (as CI runs) the
// program is started through setpriv with a numeric uid and gid that no account uses; a
// test that needs this skips itself otherwise. Nothing the other user should reach may
// lie below a folder only the test's user can enter: use sharedScratchFolder().
namespace OtherUser {

// Whether this process may start programs as other users.
bool available();

// Two users apart from the test's own.
constexpr unsigned firstUid = 64101;
constexpr unsigned secondUid = 64102;

// Starts program with arguments as uid (gid the same); the environment as set on process.
void start(QProcess &process, unsigned uid, const QString &program, const QStringList &arguments);

// A new folder under /tmp that every user may enter (0755, removed by the caller's
// QTemporaryDir-like cleanup at exit); path empty on failure.
QString sharedScratchFolder();

// A folder at path owned by uid, with the given mode; false on failure.
bool makeFolderOf(const QString &path, unsigned uid, unsigned mode);

// The mode bits (07777) of path itself, -1 when it is not there.
int modeOf(const QString &path);

}
