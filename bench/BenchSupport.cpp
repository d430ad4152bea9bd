#include "BenchSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

extern char **environ;

namespace bench {

double now()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

quint16 freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

namespace {

bool canConnect(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

std::vector<QByteArray> toBytes(const QStringList &list)
{
    std::vector<QByteArray> bytes;
    for (const QString &item : list)
        bytes.push_back(item.toLocal8Bit());
    return bytes;
}

}

Nginx::Nginx(const QString &prefix, const QString &root)
    : m_prefix(prefix)
    , m_root(root)
{
}

Nginx::~Nginx()
{
    stop();
}

bool Nginx::start()
{
    QDir().mkpath(m_prefix + "/logs");
    QDir().mkpath(m_prefix + "/temp");
    for (int attempt = 0; attempt < 5 && m_pid < 0; ++attempt) {
        m_port = freeLoopbackPort();
        QFile config(m_prefix + "/nginx.conf");
        if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        QTextStream out(&config);
        out << "worker_processes 1;\n"
            << "error_log " << m_prefix << "/logs/error.log;\n"
            << "pid " << m_prefix << "/nginx.pid;\n"
            << (geteuid() == 0 ? "user root;\n" : "")
            << "events { worker_connections 64; }\n"
            << "http {\n"
            << "  access_log off;\n"
            << "  sendfile on;\n"
            << "  tcp_nopush on;\n"
            << "  default_type application/octet-stream;\n"
            << "  client_body_temp_path " << m_prefix << "/temp/body;\n"
            << "  proxy_temp_path " << m_prefix << "/temp/proxy;\n"
            << "  fastcgi_temp_path " << m_prefix << "/temp/fastcgi;\n"
            << "  uwsgi_temp_path " << m_prefix << "/temp/uwsgi;\n"
            << "  scgi_temp_path " << m_prefix << "/temp/scgi;\n"
            << "  server {\n"
            << "    listen 127.0.0.1:" << m_port << ";\n"
            << "    root " << m_root << ";\n"
            << "    location / { }\n"
            << "  }\n"
            << "}\n";
        out.flush();
        config.close();

        Child child;
        if (!child.start({"nginx", "-p", m_prefix, "-c", m_prefix + "/nginx.conf", "-g", "daemon off;"}, {},
                         m_prefix + "/logs/stdout.log", m_prefix + "/logs/stderr.log"))
            return false;
        const pid_t pid = child.pid();
        const double deadline = now() + 5;
        while (now() < deadline && child.running() && !canConnect(m_port))
            usleep(20000);
        if (child.running() && canConnect(m_port)) {
            m_pid = pid;
            return true;
        }
        child.stop(); // port taken meanwhile, or nginx refused to start: try again
    }
    return m_pid > 0;
}

void Nginx::stop()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 250; ++i) {
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        usleep(20000);
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
}

QString Nginx::url(const QString &path) const
{
    return QString("http://127.0.0.1:%1/%2").arg(m_port).arg(path);
}

bool Child::start(const QStringList &arguments, const QStringList &environment, const QString &stdoutPath,
                  const QString &stderrPath)
{
    std::vector<QByteArray> argumentBytes = toBytes(arguments);
    std::vector<char *> argv;
    for (QByteArray &argument : argumentBytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> environmentBytes;
    for (char **entry = environ; *entry; ++entry) {
        const QByteArray item(*entry);
        bool overridden = false;
        for (const QString &extra : environment) {
            const QByteArray name = extra.toLocal8Bit().split('=').first() + "=";
            overridden = overridden || item.startsWith(name);
        }
        if (!overridden)
            environmentBytes.push_back(item);
    }
    for (const QByteArray &extra : toBytes(environment))
        environmentBytes.push_back(extra);
    std::vector<char *> envp;
    for (QByteArray &entry : environmentBytes)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    const QByteArray out = stdoutPath.toLocal8Bit();
    const QByteArray err = stderrPath.toLocal8Bit();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int result = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(result));
        m_pid = -1;
        return false;
    }
    m_reaped = false;
    return true;
}

bool Child::reap(int options)
{
    if (m_pid <= 0 || m_reaped)
        return true;
    const pid_t result = ::wait4(m_pid, &m_status, options, &m_usage);
    if (result == m_pid || (result < 0 && errno == ECHILD))
        m_reaped = true;
    return m_reaped;
}

bool Child::running()
{
    return !reap(WNOHANG);
}

bool Child::waitFor(double seconds)
{
    const double deadline = now() + seconds;
    while (running()) {
        if (now() >= deadline)
            return false;
        usleep(20000);
    }
    return true;
}

void Child::stop()
{
    if (!running())
        return;
    ::kill(m_pid, SIGTERM);
    if (waitFor(5))
        return;
    ::kill(m_pid, SIGKILL);
    reap(0);
}

double Child::cpuSeconds() const
{
    return double(m_usage.ru_utime.tv_sec) + double(m_usage.ru_utime.tv_usec) / 1e6 + double(m_usage.ru_stime.tv_sec)
        + double(m_usage.ru_stime.tv_usec) / 1e6;
}

qint64 procStatusKib(pid_t pid, const char *field)
{
    QFile status(pid > 0 ? QString("/proc/%1/status").arg(pid) : QString("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ":";
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

qint64 selfStatusKib(const char *field)
{
    return procStatusKib(0, field);
}

long selfMinorFaults()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

double selfCpuSeconds()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6 + double(usage.ru_stime.tv_sec)
        + double(usage.ru_stime.tv_usec) / 1e6;
}

qint64 fileSize(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return qint64(info.st_size);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

double valueOf(const QByteArray &text, const QByteArray &key)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(key + ":"))
            return line.mid(key.size() + 1).trimmed().toDouble();
    }
    return -1;
}

void print(const char *key, double value, int decimals)
{
    std::printf("%s: %.*f\n", key, decimals, value);
    std::fflush(stdout);
}

}
