// Helpers shared by the download benchmarks: a loopback nginx serving a folder, child
// processes whose CPU time is taken from wait4(), and /proc memory readings.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/resource.h>
#include <sys/types.h>

namespace bench {

// Seconds since an arbitrary fixed point (CLOCK_MONOTONIC).
double now();

// A free TCP port on 127.0.0.1 (bound once, then released).
quint16 freeLoopbackPort();

// Debian's nginx on 127.0.0.1 with a generated configuration and its own prefix folder:
// no access log, sendfile on, one worker, serving `root`. Stops when destroyed.
class Nginx
{
public:
    Nginx(const QString &prefix, const QString &root);
    ~Nginx();
    bool start();
    void stop();
    quint16 port() const { return m_port; }
    QString url(const QString &path) const;

private:
    QString m_prefix;
    QString m_root;
    quint16 m_port = 0;
    pid_t m_pid = -1;
};

// A child process run with posix_spawn; stdout and stderr go to files. wait() reaps it
// and keeps its resource usage.
class Child
{
public:
    // environment: extra "NAME=value" entries on top of this process's environment.
    bool start(const QStringList &arguments, const QStringList &environment, const QString &stdoutPath,
               const QString &stderrPath);
    bool running();
    // SIGTERM, then SIGKILL after a grace period; reaps the child.
    void stop();
    // Waits at most `seconds` for the child to end by itself; false when it is still running.
    bool waitFor(double seconds);
    // Waits for the child to end by itself, however long that takes.
    void wait() { reap(0); }
    pid_t pid() const { return m_pid; }
    double cpuSeconds() const;
    long minorFaults() const { return m_usage.ru_minflt; }
    int exitStatus() const { return m_status; }

private:
    bool reap(int options);

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
    struct rusage m_usage {};
};

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when unreadable.
qint64 procStatusKib(pid_t pid, const char *field);
qint64 selfStatusKib(const char *field);

// CPU seconds (user + system) of this process so far.
double selfCpuSeconds();
long selfMinorFaults();

// Size of a file, 0 when it does not exist.
qint64 fileSize(const QString &path);

// The whole content of a file, empty when it cannot be read.
QByteArray readFile(const QString &path);

// The number after "key:" on the first line of text that starts so; -1 when none does.
double valueOf(const QByteArray &text, const QByteArray &key);

// "key: value" on stdout, flushed.
void print(const char *key, double value, int decimals = 3);

}
