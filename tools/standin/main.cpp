// portal-standin: the portal, notification service and asset server on 127.0.0.1, for
// demonstrations and tests that need a separate process.

#include "PortalStandin.h"

#include <QByteArray>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pthread.h>

namespace {

const char *kHelp = R"(Usage: portal-standin [options]

Serves, on http://127.0.0.1:PORT, a stand-in for the Tarn portal, its notification
service and an asset server. Prints the base URL as the first line on standard output,
then serves until SIGTERM or SIGINT.

Options:
  --port N                  Port to listen on; 0 (default) picks a free port.
  --assets DIR              Folder whose files are served under /assets/<relative path>.
  --config FILE             JSON configuration (below).
  --notification-log FILE   Append every notification request (its path and query) as one
                            line to FILE.
  --help                    Show this text.

Configuration file (every key optional):
  {
    "accounts": [{"username": "u", "password": "p", "key": "32+ byte decoding key"}],
    "authenticate": {"status": 0, "body": "", "hang": false},
    "versioncheck": {"version": 20170613, "description": "<p>...</p>", "win_url": "",
                     "raw_body": "...", "status": 200},
    "installer": {"file": "/path/setup.exe", "name": "Tolvane Setup.exe",
                  "fail_status": 0, "drop": false},
    "notification": {"body": "ok", "status": 200, "delay_ms": 0, "hang": false,
                     "fail_next": 0, "fail_status": 500},
    "assets": "/folder",
    "notification_log": "/file",
    "asset_faults": {"relative/path.mxf": {"redirect_hops": 0, "status": 0,
                     "throttle_bps": 0, "stall_after": -1, "drop_after": -1,
                     "flip_offset": -1, "flip_requests": 0, "ignore_range": false,
                     "redirect_to": ""}}
  }
  An empty "win_url" points at the stand-in's own /downloads/<name>.

Services:
  POST /authenticate          form fields username, password: 200 with the account's key,
                              403 "Invalid username or password.", or the scripted status.
  GET  /versioncheck          {"version": N, "description": "...", "win_url": "..."}
  GET  /downloads/<name>      the installer file.
  GET  /, /updates, /user/password/reset/, /user/forgot-username   HTML pages.
  GET  /notification/dcp      records the request, answers "ok" (or as scripted).
  GET  /assets/<path>         the file; "Range: bytes=N-" gives 206, N >= size gives 416.
                              <DCP folder>/poster.jpg (or .png) that is not a file: a cover
                              drawn with the folder's name, the package tool's default image.

Control (JSON bodies, same keys as the configuration):
  POST /_control/config                 apply a configuration object.
  POST /_control/asset-fault            {"path": "relative/path", <fault keys>} or
                                        {"path": "...", "clear": true}
  POST /_control/clear-asset-faults
  POST /_control/notification           notification behaviour keys.
  POST /_control/authenticate           authenticate behaviour keys.
  POST /_control/versioncheck           version check keys.
  POST /_control/installer              installer keys.
  GET  /_control/notifications          recorded notification requests, each with the status
                                        answered and whether it was acknowledged ("ok").
                                        A request cleared away meanwhile is not updated.
  GET  /_control/asset-requests         recorded asset requests.
  GET  /_control/authenticate-requests  recorded authentication requests.
  POST /_control/clear-requests         forget every recorded request.
)";

int fail(const std::string &message)
{
    std::fprintf(stderr, "portal-standin: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    int port = 0;
    std::string assets;
    std::string configPath;
    std::string notificationLog;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::string &out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--port") {
            if (!value(text))
                return fail("--port needs a value");
            char *end = nullptr;
            const long n = std::strtol(text.c_str(), &end, 10);
            if (*end != '\0' || n < 0 || n > 65535)
                return fail("invalid port: " + text);
            port = static_cast<int>(n);
        } else if (arg == "--assets") {
            if (!value(assets))
                return fail("--assets needs a folder");
        } else if (arg == "--config") {
            if (!value(configPath))
                return fail("--config needs a file");
        } else if (arg == "--notification-log") {
            if (!value(notificationLog))
                return fail("--notification-log needs a file");
        } else {
            return fail("unknown option " + arg + " (see --help)");
        }
    }

    // The covers it draws need fonts, and fonts need a GUI application; it never shows a
    // window, so it needs no display either.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QGuiApplication application(qtArgc, argv);

    PortalStandin standin;
    if (!configPath.empty()) {
        QFile file(QString::fromStdString(configPath));
        if (!file.open(QIODevice::ReadOnly))
            return fail("cannot read " + configPath);
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
        if (!doc.isObject())
            return fail(configPath + ": not a JSON object (" + error.errorString().toStdString() + ")");
        std::string message;
        if (!standin.applyConfig(doc.object(), &message))
            return fail(configPath + ": " + message);
    }
    if (!assets.empty())
        standin.setAssetRoot(assets);
    if (!notificationLog.empty())
        standin.setNotificationLogFile(notificationLog);

    // Block the stop signals in every thread; the main thread takes them with sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (!standin.start(port))
        return fail("cannot listen on 127.0.0.1:" + std::to_string(port));
    std::printf("%s\n", standin.baseUrl().c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    standin.stop();
    return 0;
}
