#include "app/TerminationSignals.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A signal handler may only write to a descriptor; the event loop reads the other end.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int number)
{
    const char byte = char(number);
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[0], &byte, 1);
    errno = savedErrno;
}

}

void TerminationSignals::install(QCoreApplication *app)
{
    if (signalPipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        qDebug() << "[main] Unable to watch for the end-of-session signals";
        return;
    }
    // Once the program has begun to end, a further signal changes nothing: quitting again
    // would end every event loop, the clean end's wait for the portal's answer among them.
    static bool ending = false;
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, [] { ending = true; });
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app] {
        char byte = 0;
        if (::read(signalPipe[1], &byte, 1) != 1)
            return;
        if (ending) {
            qDebug() << "[main] Already ending; ignoring signal" << int(byte);
            return;
        }
        qDebug() << "[main] Ending on signal" << int(byte);
        app->quit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}
