#include "PortalStandin.h"

#include "PosterImage.h"

#include <httplib.h>

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

QString q(const std::string &text)
{
    return QString::fromStdString(text);
}

std::string s(const QJsonValue &value, const std::string &fallback = std::string())
{
    return value.isString() ? value.toString().toStdString() : fallback;
}

long long integer(const QJsonValue &value, long long fallback)
{
    return value.isDouble() ? static_cast<long long>(value.toDouble()) : fallback;
}

std::vector<std::pair<std::string, std::string>> splitQuery(const std::string &query, bool plusAsSpace)
{
    std::vector<std::pair<std::string, std::string>> items;
    size_t pos = 0;
    while (pos <= query.size() && !query.empty()) {
        size_t end = query.find('&', pos);
        if (end == std::string::npos)
            end = query.size();
        const std::string item = query.substr(pos, end - pos);
        if (!item.empty()) {
            const size_t eq = item.find('=');
            const std::string name = item.substr(0, eq);
            const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
            items.emplace_back(PortalStandin::percentDecode(name, plusAsSpace),
                               PortalStandin::percentDecode(value, plusAsSpace));
        }
        pos = end + 1;
    }
    return items;
}

const char *reasonText(int status)
{
    switch (status) {
    case 400: return "Bad Request: the download link has expired.";
    case 401: return "Unauthorized.";
    case 403: return "Forbidden.";
    case 404: return "Not Found: the file is gone.";
    case 416: return "Requested Range Not Satisfiable.";
    case 500: return "Internal Server Error.";
    case 503: return "Service Unavailable.";
    default: return "Error.";
    }
}

// Disables the library's own Range handling for a request whose Range this server answers
// itself (it could neither ignore a Range nor refuse one past the end of a file). The
// request object belongs to the server's connection loop and is not itself const.
void takeOverRange(const httplib::Request &req)
{
    const_cast<httplib::Request &>(req).ranges.clear();
}

// Parses "bytes=N-" and "bytes=N-M". Returns false when the header is not of that form.
bool parseRange(const std::string &header, std::uint64_t &first, std::int64_t &last)
{
    const std::string prefix = "bytes=";
    if (header.compare(0, prefix.size(), prefix) != 0)
        return false;
    const std::string range = header.substr(prefix.size());
    const size_t dash = range.find('-');
    if (dash == std::string::npos || dash == 0 || range.find(',') != std::string::npos)
        return false;
    const std::string a = range.substr(0, dash);
    const std::string b = range.substr(dash + 1);
    if (a.find_first_not_of("0123456789") != std::string::npos)
        return false;
    if (!b.empty() && b.find_first_not_of("0123456789") != std::string::npos)
        return false;
    first = std::stoull(a);
    last = b.empty() ? -1 : static_cast<std::int64_t>(std::stoull(b));
    return true;
}

// Sets a fixed body sent as is: the library compresses text bodies for clients that accept
// gzip, and the services here promise exact bytes ("ok", the decoding key).
void setBody(httplib::Response &res, const std::string &body, const std::string &type)
{
    if (body.empty()) {
        res.set_content(body, type);
        return;
    }
    auto shared = std::make_shared<std::string>(body);
    res.set_content_provider(shared->size(), type, [shared](size_t offset, size_t length, httplib::DataSink &sink) {
        return sink.write(shared->data() + offset, length);
    });
}

const char *kPageStyle = "<style>body{font-family:sans-serif;background:#0c0c0d;color:#fff}</style>";

} // namespace

bool AssetFault::isClear() const
{
    return redirectHops <= 0 && status == 0 && throttleBytesPerSecond == 0 && stallAfter < 0 && dropAfter < 0
        && (flipOffset < 0 || flipRequests <= 0) && !ignoreRange && extraBytes == 0 && redirectTo.empty();
}

QJsonObject AssetFault::toJson() const
{
    QJsonObject o;
    o["redirect_hops"] = redirectHops;
    o["status"] = status;
    o["throttle_bps"] = static_cast<double>(throttleBytesPerSecond);
    o["stall_after"] = static_cast<double>(stallAfter);
    o["drop_after"] = static_cast<double>(dropAfter);
    o["flip_offset"] = static_cast<double>(flipOffset);
    o["flip_requests"] = flipRequests;
    o["ignore_range"] = ignoreRange;
    o["extra_bytes"] = static_cast<double>(extraBytes);
    o["status_delay_ms"] = statusDelayMs;
    o["redirect_to"] = q(redirectTo);
    return o;
}

AssetFault AssetFault::fromJson(const QJsonObject &o)
{
    AssetFault f;
    f.redirectHops = static_cast<int>(integer(o["redirect_hops"], 0));
    f.status = static_cast<int>(integer(o["status"], 0));
    f.throttleBytesPerSecond = static_cast<std::uint64_t>(std::max(0LL, integer(o["throttle_bps"], 0)));
    f.stallAfter = integer(o["stall_after"], -1);
    f.dropAfter = integer(o["drop_after"], -1);
    f.flipOffset = integer(o["flip_offset"], -1);
    f.flipRequests = static_cast<int>(integer(o["flip_requests"], f.flipOffset >= 0 ? 1 : 0));
    f.ignoreRange = o["ignore_range"].toBool(false);
    f.extraBytes = static_cast<std::uint64_t>(std::max(0LL, integer(o["extra_bytes"], 0)));
    f.statusDelayMs = static_cast<int>(std::max(0LL, integer(o["status_delay_ms"], 0)));
    f.redirectTo = s(o["redirect_to"]);
    return f;
}

std::string NotificationRequest::value(const std::string &name) const
{
    for (const auto &item : query)
        if (item.first == name)
            return item.second;
    return std::string();
}

NotificationBehaviour NotificationBehaviour::fromJson(const QJsonObject &o, const NotificationBehaviour &base)
{
    NotificationBehaviour b = base;
    b.body = s(o["body"], b.body);
    b.status = static_cast<int>(integer(o["status"], b.status));
    b.delayMs = static_cast<int>(integer(o["delay_ms"], b.delayMs));
    b.hang = o["hang"].toBool(b.hang);
    b.failNext = static_cast<int>(integer(o["fail_next"], b.failNext));
    b.failStatus = static_cast<int>(integer(o["fail_status"], b.failStatus));
    return b;
}

QJsonObject NotificationBehaviour::toJson() const
{
    return QJsonObject{{"body", q(body)}, {"status", status}, {"delay_ms", delayMs}, {"hang", hang},
                       {"fail_next", failNext}, {"fail_status", failStatus}};
}

AuthenticateBehaviour AuthenticateBehaviour::fromJson(const QJsonObject &o, const AuthenticateBehaviour &base)
{
    AuthenticateBehaviour b = base;
    b.status = static_cast<int>(integer(o["status"], b.status));
    b.body = s(o["body"], b.body);
    b.hang = o["hang"].toBool(b.hang);
    return b;
}

QJsonObject AuthenticateBehaviour::toJson() const
{
    return QJsonObject{{"status", status}, {"body", q(body)}, {"hang", hang}};
}

VersionCheckBehaviour VersionCheckBehaviour::fromJson(const QJsonObject &o, const VersionCheckBehaviour &base)
{
    VersionCheckBehaviour b = base;
    b.version = integer(o["version"], b.version);
    b.description = s(o["description"], b.description);
    b.winUrl = s(o["win_url"], b.winUrl);
    if (o.contains("raw_body")) {
        b.useRawBody = o["raw_body"].isString();
        b.rawBody = s(o["raw_body"]);
    }
    b.status = static_cast<int>(integer(o["status"], b.status));
    return b;
}

QJsonObject VersionCheckBehaviour::toJson() const
{
    QJsonObject o{{"version", static_cast<double>(version)}, {"description", q(description)},
                  {"win_url", q(winUrl)}, {"status", status}};
    if (useRawBody)
        o["raw_body"] = q(rawBody);
    return o;
}

InstallerBehaviour InstallerBehaviour::fromJson(const QJsonObject &o, const InstallerBehaviour &base)
{
    InstallerBehaviour b = base;
    b.filePath = s(o["file"], b.filePath);
    b.name = s(o["name"], b.name);
    b.failStatus = static_cast<int>(integer(o["fail_status"], b.failStatus));
    b.drop = o["drop"].toBool(b.drop);
    return b;
}

QJsonObject InstallerBehaviour::toJson() const
{
    return QJsonObject{{"file", q(filePath)}, {"name", q(name)}, {"fail_status", failStatus}, {"drop", drop}};
}

struct PortalStandin::Impl {
    PortalStandin *self = nullptr;
    httplib::Server server;
    std::thread thread;
    int port = 0;
    bool running = false;

    mutable std::mutex mutex;
    std::condition_variable changed; // any scripted state changed, or stopping
    bool stopping = false;

    std::vector<StandinAccount> accounts;
    AuthenticateBehaviour authBehaviour;
    std::vector<AuthenticateRequest> authRequests;
    VersionCheckBehaviour versionCheck;
    int versionCheckCount = 0;
    InstallerBehaviour installer;
    std::vector<std::string> pages;

    NotificationBehaviour notification;
    std::vector<NotificationRequest> notifications;
    std::uint64_t notificationSequence = 0;
    std::string notificationLog;

    std::string assetRoot;
    std::map<std::string, AssetFault> faults;
    std::vector<AssetRequest> assetRequests;
    std::uint64_t assetBytes = 0;

    void installRoutes();
    void notifyChanged()
    {
        changed.notify_all();
    }
    // Waits (unlocked) up to ms; returns false when the server is stopping.
    bool pause(int ms)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return !changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }
    void handleAuthenticate(const httplib::Request &req, httplib::Response &res);
    void handleNotification(const httplib::Request &req, httplib::Response &res);
    void handleInstaller(const httplib::Request &req, httplib::Response &res);
    void handleAsset(const httplib::Request &req, httplib::Response &res, const std::string &relative,
                     int hopsLeft);
    void handleControl(const httplib::Request &req, httplib::Response &res, const std::string &what);
    bool resolveAsset(const std::string &relative, std::string &absolute) const;
    size_t recordAsset(const AssetRequest &request)
    {
        std::lock_guard<std::mutex> lock(mutex);
        assetRequests.push_back(request);
        return assetRequests.size() - 1;
    }
    void setAssetStatus(size_t index, int status)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (index < assetRequests.size())
            assetRequests[index].status = status;
    }
};

PortalStandin::PortalStandin()
    : d(std::make_unique<Impl>())
{
    d->self = this;
    // Held requests (hang, stall) each keep a worker; idle keep-alive connections too.
    d->server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    d->server.set_keep_alive_timeout(2);
    d->server.set_keep_alive_max_count(1000);
    d->server.set_write_timeout(30, 0);
    d->installRoutes();
}

PortalStandin::~PortalStandin()
{
    stop();
}

bool PortalStandin::start(int port)
{
    if (d->running)
        return true;
    // A client that goes away mid-response must not end the whole process.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stopping = false;
    }
    if (port == 0) {
        d->port = d->server.bind_to_any_port("127.0.0.1");
        if (d->port <= 0)
            return false;
    } else {
        if (!d->server.bind_to_port("127.0.0.1", port))
            return false;
        d->port = port;
    }
    d->running = true;
    d->thread = std::thread([this] { d->server.listen_after_bind(); });
    return true;
}

void PortalStandin::stop()
{
    if (!d->running)
        return;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stopping = true;
    }
    d->notifyChanged();
    d->server.stop();
    if (d->thread.joinable())
        d->thread.join();
    d->running = false;
}

bool PortalStandin::isRunning() const
{
    return d->running;
}

int PortalStandin::port() const
{
    return d->port;
}

std::string PortalStandin::baseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(d->port);
}

std::string PortalStandin::encodePath(const std::string &path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string PortalStandin::percentDecode(const std::string &text, bool plusAsSpace)
{
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else if (c == '+' && plusAsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

// ---- configuration ------------------------------------------------------------------------

bool PortalStandin::applyConfig(const QJsonObject &config, std::string *error)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (config.contains("accounts")) {
        if (!config["accounts"].isArray()) {
            if (error)
                *error = "\"accounts\" must be an array";
            return false;
        }
        d->accounts.clear();
        for (const QJsonValue &v : config["accounts"].toArray()) {
            const QJsonObject a = v.toObject();
            d->accounts.push_back({s(a["username"]), s(a["password"]), s(a["key"])});
        }
    }
    if (config["authenticate"].isObject())
        d->authBehaviour = AuthenticateBehaviour::fromJson(config["authenticate"].toObject(), d->authBehaviour);
    if (config["versioncheck"].isObject())
        d->versionCheck = VersionCheckBehaviour::fromJson(config["versioncheck"].toObject(), d->versionCheck);
    if (config["installer"].isObject())
        d->installer = InstallerBehaviour::fromJson(config["installer"].toObject(), d->installer);
    if (config["notification"].isObject())
        d->notification = NotificationBehaviour::fromJson(config["notification"].toObject(), d->notification);
    if (config["assets"].isString())
        d->assetRoot = s(config["assets"]);
    if (config["notification_log"].isString())
        d->notificationLog = s(config["notification_log"]);
    if (config["asset_faults"].isObject()) {
        const QJsonObject faults = config["asset_faults"].toObject();
        for (auto it = faults.begin(); it != faults.end(); ++it)
            d->faults[it.key().toStdString()] = AssetFault::fromJson(it.value().toObject());
    }
    d->notifyChanged();
    return true;
}

void PortalStandin::setAccounts(const std::vector<StandinAccount> &accounts)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->accounts = accounts;
}

void PortalStandin::addAccount(const StandinAccount &account)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->accounts.push_back(account);
}

void PortalStandin::setAuthenticateBehaviour(const AuthenticateBehaviour &behaviour)
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->authBehaviour = behaviour;
    }
    d->notifyChanged();
}

AuthenticateBehaviour PortalStandin::authenticateBehaviour() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->authBehaviour;
}

std::vector<AuthenticateRequest> PortalStandin::authenticateRequests() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->authRequests;
}

void PortalStandin::setVersionCheck(const VersionCheckBehaviour &behaviour)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->versionCheck = behaviour;
}

VersionCheckBehaviour PortalStandin::versionCheck() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->versionCheck;
}

int PortalStandin::versionCheckRequestCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->versionCheckCount;
}

void PortalStandin::setInstaller(const InstallerBehaviour &behaviour)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->installer = behaviour;
}

InstallerBehaviour PortalStandin::installer() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->installer;
}

std::string PortalStandin::installerUrl() const
{
    return baseUrl() + "/downloads/" + encodePath(installer().name);
}

std::vector<std::string> PortalStandin::pageRequests() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->pages;
}

void PortalStandin::setNotificationBehaviour(const NotificationBehaviour &behaviour)
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->notification = behaviour;
    }
    d->notifyChanged();
}

NotificationBehaviour PortalStandin::notificationBehaviour() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->notification;
}

void PortalStandin::failNextNotifications(int count, int status)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->notification.failNext = count;
    d->notification.failStatus = status;
}

std::vector<NotificationRequest> PortalStandin::notificationRequests() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->notifications;
}

void PortalStandin::clearNotificationRequests()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->notifications.clear();
}

void PortalStandin::setNotificationLogFile(const std::string &path)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->notificationLog = path;
}

void PortalStandin::setAssetRoot(const std::string &folder)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->assetRoot = folder;
}

std::string PortalStandin::assetRoot() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->assetRoot;
}

std::string PortalStandin::assetPrefix() const
{
    return "/assets";
}

std::string PortalStandin::assetUrl(const std::string &relativePath) const
{
    return baseUrl() + assetPrefix() + "/" + encodePath(relativePath);
}

void PortalStandin::setAssetFault(const std::string &relativePath, const AssetFault &fault)
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->faults[relativePath] = fault;
    }
    d->notifyChanged();
}

AssetFault PortalStandin::assetFault(const std::string &relativePath) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    const auto it = d->faults.find(relativePath);
    return it == d->faults.end() ? AssetFault() : it->second;
}

void PortalStandin::clearAssetFault(const std::string &relativePath)
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->faults.erase(relativePath);
    }
    d->notifyChanged();
}

void PortalStandin::clearAssetFaults()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->faults.clear();
    }
    d->notifyChanged();
}

std::vector<AssetRequest> PortalStandin::assetRequests() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->assetRequests;
}

void PortalStandin::clearAssetRequests()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->assetRequests.clear();
}

std::uint64_t PortalStandin::assetBytesSent() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->assetBytes;
}

// ---- routes -------------------------------------------------------------------------------

void PortalStandin::Impl::installRoutes()
{
    server.Post("/authenticate", [this](const httplib::Request &req, httplib::Response &res) {
        handleAuthenticate(req, res);
    });

    server.Get("/versioncheck", [this](const httplib::Request &, httplib::Response &res) {
        VersionCheckBehaviour b;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++versionCheckCount;
            b = versionCheck;
        }
        if (b.winUrl.empty())
            b.winUrl = self->installerUrl();
        res.status = b.status;
        if (b.useRawBody) {
            setBody(res, b.rawBody, "application/json");
            return;
        }
        const QJsonObject o{{"version", static_cast<double>(b.version)},
                            {"description", q(b.description)},
                            {"win_url", q(b.winUrl)}};
        setBody(res, QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString(), "application/json");
    });

    server.Get(R"(/downloads/(.+))", [this](const httplib::Request &req, httplib::Response &res) {
        handleInstaller(req, res);
    });

    const auto page = [this](const std::string &title, const std::string &text) {
        return [this, title, text](const httplib::Request &req, httplib::Response &res) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                pages.push_back(req.path);
            }
            setBody(res, "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + title + "</title>"
                                + kPageStyle + "</head><body><h1>" + title + "</h1><p>" + text
                                + "</p></body></html>\n",
                            "text/html; charset=utf-8");
        };
    };
    server.Get("/", page("Tarn", "Your orders and packages."));
    server.Get("/updates", page("Tarn: updates", "The latest Tolvane Downloader."));
    server.Get("/user/password/reset/", page("Tarn: reset password", "Enter your e-mail address."));
    server.Get("/user/forgot-username", page("Tarn: forgotten user name", "Enter your e-mail address."));

    server.Get("/notification/dcp", [this](const httplib::Request &req, httplib::Response &res) {
        handleNotification(req, res);
    });

    server.Get(R"(/assets/(.*))", [this](const httplib::Request &req, httplib::Response &res) {
        const std::string raw = req.target.substr(0, req.target.find('?'));
        handleAsset(req, res, percentDecode(raw.substr(std::string("/assets/").size()), false), -1);
    });
    // The same files under a second path: the links of a fresh package, which a test tells
    // apart from the old ones without needing a second host name.
    server.Get(R"(/fresh/assets/(.*))", [this](const httplib::Request &req, httplib::Response &res) {
        const std::string raw = req.target.substr(0, req.target.find('?'));
        handleAsset(req, res, percentDecode(raw.substr(std::string("/fresh/assets/").size()), false), -1);
    });
    server.Get(R"(/redirect/(\d+)/(.*))", [this](const httplib::Request &req, httplib::Response &res) {
        std::string raw = req.target.substr(0, req.target.find('?'));
        raw = raw.substr(std::string("/redirect/").size());
        const size_t slash = raw.find('/');
        const int hops = std::stoi(raw.substr(0, slash));
        handleAsset(req, res, percentDecode(raw.substr(slash + 1), false), hops);
    });

    server.Post(R"(/_control/([a-z\-]+))", [this](const httplib::Request &req, httplib::Response &res) {
        handleControl(req, res, req.matches[1]);
    });
    server.Get(R"(/_control/([a-z\-]+))", [this](const httplib::Request &req, httplib::Response &res) {
        handleControl(req, res, req.matches[1]);
    });
}

void PortalStandin::Impl::handleAuthenticate(const httplib::Request &req, httplib::Response &res)
{
    AuthenticateRequest record;
    record.body = req.body;
    record.contentType = req.get_header_value("Content-Type");
    for (const auto &item : splitQuery(req.body, true)) {
        if (item.first == "username")
            record.username = item.second;
        else if (item.first == "password")
            record.password = item.second;
    }
    size_t index = 0;
    AuthenticateBehaviour b;
    std::string key;
    bool known = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        authRequests.push_back(record);
        index = authRequests.size() - 1;
        changed.wait(lock, [this] { return stopping || !authBehaviour.hang; });
        if (stopping) {
            res.status = 503;
            return;
        }
        b = authBehaviour;
        for (const auto &a : accounts) {
            if (a.username == record.username && a.password == record.password) {
                key = a.key;
                known = true;
                break;
            }
        }
        if (b.status != 0)
            authRequests[index].status = b.status;
        else
            authRequests[index].status = known ? 200 : 403;
    }
    if (b.status != 0) {
        res.status = b.status;
        setBody(res, b.body.empty() ? std::string(reasonText(b.status)) : b.body, "text/plain; charset=utf-8");
    } else if (known) {
        res.status = 200;
        setBody(res, key, "text/plain; charset=utf-8");
    } else {
        res.status = 403;
        setBody(res, "Invalid username or password.", "text/plain; charset=utf-8");
    }
}

void PortalStandin::Impl::handleNotification(const httplib::Request &req, httplib::Response &res)
{
    NotificationRequest record;
    record.target = req.target;
    const size_t question = req.target.find('?');
    if (question != std::string::npos)
        record.query = splitQuery(req.target.substr(question + 1), false);

    NotificationBehaviour b;
    bool failing = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        record.sequence = ++notificationSequence;
        notifications.push_back(record);
        if (!notificationLog.empty()) {
            std::ofstream log(notificationLog, std::ios::app | std::ios::binary);
            log << record.target << '\n';
        }
        changed.wait(lock, [this] { return stopping || !notification.hang; });
        if (stopping) {
            res.status = 503;
            return;
        }
        b = notification;
        if (notification.failNext > 0) {
            --notification.failNext;
            failing = true;
        }
    }
    if (b.delayMs > 0 && !pause(b.delayMs)) {
        res.status = 503;
        return;
    }
    const int status = failing ? b.failStatus : b.status;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = notifications.rbegin(); it != notifications.rend(); ++it) {
            if (it->sequence == record.sequence) {
                it->status = status;
                it->acknowledged = !failing && status == 200 && b.body == "ok";
                break;
            }
        }
    }
    if (failing) {
        res.status = b.failStatus;
        setBody(res, reasonText(b.failStatus), "text/plain");
        return;
    }
    res.status = b.status;
    setBody(res, b.body, "text/plain");
}

void PortalStandin::Impl::handleInstaller(const httplib::Request &req, httplib::Response &res)
{
    takeOverRange(req);
    InstallerBehaviour b;
    {
        std::lock_guard<std::mutex> lock(mutex);
        b = installer;
    }
    const std::string raw = req.target.substr(0, req.target.find('?'));
    const std::string name = percentDecode(raw.substr(std::string("/downloads/").size()), false);
    std::error_code ec;
    if (b.filePath.empty() || name != b.name || !fs::is_regular_file(b.filePath, ec)) {
        res.status = 404;
        setBody(res, "No such installer.", "text/plain");
        return;
    }
    if (b.failStatus != 0) {
        res.status = b.failStatus;
        setBody(res, reasonText(b.failStatus), "text/plain");
        return;
    }
    const std::uint64_t size = fs::file_size(b.filePath, ec);
    auto file = std::make_shared<std::ifstream>(b.filePath, std::ios::binary);
    const std::uint64_t limit = b.drop ? size / 2 : size;
    res.status = 200;
    if (size == 0) {
        setBody(res, "", "application/octet-stream");
        return;
    }
    res.set_content_provider(size, "application/octet-stream",
                             [file, limit](size_t offset, size_t length, httplib::DataSink &sink) { // length: bytes left
                                 if (offset >= limit)
                                     return false; // drop the connection
                                 char buffer[65536];
                                 const size_t n = std::min<std::uint64_t>({sizeof buffer, length, limit - offset});
                                 file->seekg(static_cast<std::streamoff>(offset));
                                 file->read(buffer, static_cast<std::streamsize>(n));
                                 if (file->gcount() != static_cast<std::streamsize>(n))
                                     return false;
                                 return sink.write(buffer, n);
                             });
}

bool PortalStandin::Impl::resolveAsset(const std::string &relative, std::string &absolute) const
{
    std::string root;
    {
        std::lock_guard<std::mutex> lock(mutex);
        root = assetRoot;
    }
    if (root.empty() || relative.empty() || relative[0] == '/' || relative.find('\0') != std::string::npos)
        return false;
    const fs::path rel(relative);
    for (const auto &part : rel)
        if (part == "..")
            return false;
    std::error_code ec;
    const fs::path canonicalRoot = fs::canonical(root, ec);
    if (ec)
        return false;
    const fs::path target = fs::weakly_canonical(canonicalRoot / rel, ec);
    if (ec)
        return false;
    const std::string rootText = canonicalRoot.string() + "/";
    if (target.string().compare(0, rootText.size(), rootText) != 0)
        return false;
    absolute = target.string();
    return true;
}

void PortalStandin::Impl::handleAsset(const httplib::Request &req, httplib::Response &res,
                                      const std::string &relative, int hopsLeft)
{
    takeOverRange(req);
    AssetRequest record;
    record.path = relative;
    record.urlPath = percentDecode(req.target.substr(0, req.target.find('?')), false);
    record.range = req.get_header_value("Range");
    const size_t index = recordAsset(record);
    const auto answer = [&](int status, const std::string &text) {
        res.status = status;
        setBody(res, text, "text/plain");
        setAssetStatus(index, status);
    };

    std::string path;
    if (!resolveAsset(relative, path)) {
        answer(403, "Forbidden: path outside the asset folder.");
        return;
    }

    AssetFault fault;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = faults.find(relative);
        if (it != faults.end())
            fault = it->second;
    }

    if (!fault.redirectTo.empty() && hopsLeft < 0) {
        res.status = 302;
        res.set_header("Location", fault.redirectTo);
        setAssetStatus(index, 302);
        return;
    }
    // Redirect chain: /assets/X -> /redirect/k-1/X -> ... -> /redirect/0/X, which serves.
    const int next = hopsLeft < 0 ? fault.redirectHops - 1 : hopsLeft - 1;
    if ((hopsLeft < 0 && fault.redirectHops > 0) || hopsLeft > 0) {
        res.set_redirect("/redirect/" + std::to_string(next) + "/" + encodePath(relative), 302);
        setAssetStatus(index, 302);
        return;
    }
    if (fault.status != 0) {
        if (fault.statusDelayMs > 0)
            pause(fault.statusDelayMs);
        answer(fault.status, reasonText(fault.status));
        return;
    }

    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        // A DCP folder without a poster of its own gets one drawn with its title.
        const fs::path requested(path);
        if (PosterImage::isPosterName(requested.filename().string()) && fs::is_directory(requested.parent_path(), ec)) {
            std::string type;
            const std::string image = PosterImage::render(requested.parent_path().filename().string(),
                                                          requested.filename().string(), &type);
            res.status = 200;
            setAssetStatus(index, 200);
            setBody(res, image, type);
            return;
        }
        answer(404, reasonText(404));
        return;
    }
    const std::uint64_t size = fs::file_size(path, ec);
    std::uint64_t first = 0;
    std::uint64_t last = size == 0 ? 0 : size - 1;
    bool partial = false;
    if (!fault.ignoreRange && !record.range.empty()) {
        std::int64_t rangeLast = -1;
        if (parseRange(record.range, first, rangeLast)) {
            if (first >= size) {
                res.set_header("Content-Range", "bytes */" + std::to_string(size));
                answer(416, reasonText(416));
                return;
            }
            partial = true;
            if (rangeLast >= 0 && static_cast<std::uint64_t>(rangeLast) < last)
                last = static_cast<std::uint64_t>(rangeLast);
        }
    }
    const int status = partial ? 206 : 200;
    res.status = status;
    setAssetStatus(index, status);
    if (partial)
        res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/"
                                            + std::to_string(size));
    if (size == 0 && fault.extraBytes == 0) {
        setBody(res, "", "application/octet-stream");
        return;
    }

    bool flip = false;
    if (fault.flipOffset >= 0 && static_cast<std::uint64_t>(fault.flipOffset) >= first
        && static_cast<std::uint64_t>(fault.flipOffset) <= last) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = faults.find(relative);
        if (it != faults.end() && it->second.flipOffset == fault.flipOffset && it->second.flipRequests > 0) {
            --it->second.flipRequests;
            flip = true;
        }
    }

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        answer(404, reasonText(404));
        return;
    }
    struct Transfer {
        int fd = -1;
        std::uint64_t paceBytes = 0;
        std::uint64_t paceRate = 0;
        Clock::time_point paceStart;
        ~Transfer()
        {
            if (fd >= 0)
                ::close(fd);
        }
    };
    auto transfer = std::make_shared<Transfer>();
    transfer->fd = fd;
    const std::int64_t flipOffset = flip ? fault.flipOffset : -1;
    const std::uint64_t fileEnd = size == 0 ? 0 : last + 1;

    res.set_content_provider(
        (size == 0 ? 0 : last - first + 1) + fault.extraBytes, "application/octet-stream",
        [this, transfer, relative, first, fileEnd, flipOffset](size_t offset, size_t length, httplib::DataSink &sink) {
            // Faults are read afresh for every piece, so a change applies to a running transfer.
            AssetFault live;
            {
                std::lock_guard<std::mutex> lock(mutex);
                const auto it = faults.find(relative);
                if (it != faults.end())
                    live = it->second;
                if (stopping)
                    return false;
            }
            std::uint64_t chunk = std::min<std::uint64_t>(65536, length); // length: bytes still to send
            if (live.dropAfter >= 0) {
                if (offset >= static_cast<std::uint64_t>(live.dropAfter))
                    return false;
                chunk = std::min<std::uint64_t>(chunk, static_cast<std::uint64_t>(live.dropAfter) - offset);
            }
            if (live.stallAfter >= 0) {
                if (offset >= static_cast<std::uint64_t>(live.stallAfter)) {
                    // Hold the connection, sending nothing, until the stall is lifted or the server stops.
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait_for(lock, std::chrono::milliseconds(200));
                    return !stopping;
                }
                chunk = std::min<std::uint64_t>(chunk, static_cast<std::uint64_t>(live.stallAfter) - offset);
            }
            if (live.throttleBytesPerSecond > 0) {
                const std::uint64_t rate = live.throttleBytesPerSecond;
                if (rate != transfer->paceRate) {
                    transfer->paceRate = rate;
                    transfer->paceBytes = 0;
                    transfer->paceStart = Clock::now();
                }
                chunk = std::min<std::uint64_t>(chunk, std::max<std::uint64_t>(1024, rate / 20));
                const auto due = transfer->paceStart
                    + std::chrono::microseconds(static_cast<long long>(
                        static_cast<double>(transfer->paceBytes + chunk) * 1e6 / static_cast<double>(rate)));
                const auto now = Clock::now();
                if (due > now) {
                    std::unique_lock<std::mutex> lock(mutex);
                    if (changed.wait_until(lock, due, [this] { return stopping; }))
                        return false;
                }
                transfer->paceBytes += chunk;
            } else {
                transfer->paceRate = 0;
            }
            char buffer[65536];
            const std::uint64_t position = first + offset;
            if (position >= fileEnd) {
                // Past the file's end: filler bytes that belong to no file.
                std::memset(buffer, 'Z', chunk);
            } else {
                chunk = std::min<std::uint64_t>(chunk, fileEnd - position);
                const ssize_t n = ::pread(transfer->fd, buffer, chunk, static_cast<off_t>(position));
                if (n != static_cast<ssize_t>(chunk))
                    return false;
            }
            if (flipOffset >= 0 && static_cast<std::uint64_t>(flipOffset) >= position
                && static_cast<std::uint64_t>(flipOffset) < position + chunk)
                buffer[flipOffset - static_cast<std::int64_t>(position)] ^= static_cast<char>(0xFF);
            if (!sink.write(buffer, chunk))
                return false;
            std::lock_guard<std::mutex> lock(mutex);
            assetBytes += chunk;
            return true;
        });
}

void PortalStandin::Impl::handleControl(const httplib::Request &req, httplib::Response &res, const std::string &what)
{
    QJsonParseError parseError{};
    const QJsonDocument doc = req.body.empty()
        ? QJsonDocument(QJsonObject())
        : QJsonDocument::fromJson(QByteArray::fromStdString(req.body), &parseError);
    if (req.method == "POST" && !req.body.empty() && !doc.isObject()) {
        res.status = 400;
        setBody(res, "The body must be a JSON object.\n", "text/plain");
        return;
    }
    const QJsonObject o = doc.object();
    QJsonDocument reply(QJsonObject{{"ok", true}});

    if (what == "config") {
        std::string error;
        if (!self->applyConfig(o, &error)) {
            res.status = 400;
            setBody(res, error + "\n", "text/plain");
            return;
        }
    } else if (what == "asset-fault") {
        const std::string path = s(o["path"]);
        if (path.empty()) {
            res.status = 400;
            setBody(res, "\"path\" is required.\n", "text/plain");
            return;
        }
        if (o["clear"].toBool(false))
            self->clearAssetFault(path);
        else
            self->setAssetFault(path, AssetFault::fromJson(o));
        reply = QJsonDocument(self->assetFault(path).toJson());
    } else if (what == "clear-asset-faults") {
        self->clearAssetFaults();
    } else if (what == "notification") {
        self->setNotificationBehaviour(NotificationBehaviour::fromJson(o, self->notificationBehaviour()));
        reply = QJsonDocument(self->notificationBehaviour().toJson());
    } else if (what == "authenticate") {
        self->setAuthenticateBehaviour(AuthenticateBehaviour::fromJson(o, self->authenticateBehaviour()));
        reply = QJsonDocument(self->authenticateBehaviour().toJson());
    } else if (what == "versioncheck") {
        self->setVersionCheck(VersionCheckBehaviour::fromJson(o, self->versionCheck()));
        reply = QJsonDocument(self->versionCheck().toJson());
    } else if (what == "installer") {
        self->setInstaller(InstallerBehaviour::fromJson(o, self->installer()));
        reply = QJsonDocument(self->installer().toJson());
    } else if (what == "notifications") {
        QJsonArray list;
        for (const auto &n : self->notificationRequests()) {
            QJsonObject query;
            for (const auto &item : n.query)
                if (!query.contains(q(item.first)))
                    query[q(item.first)] = q(item.second);
            list.append(QJsonObject{{"target", q(n.target)}, {"query", query}, {"status", n.status},
                                    {"acknowledged", n.acknowledged}});
        }
        reply = QJsonDocument(list);
    } else if (what == "asset-requests") {
        QJsonArray list;
        for (const auto &a : self->assetRequests())
            list.append(QJsonObject{{"path", q(a.path)}, {"url_path", q(a.urlPath)}, {"range", q(a.range)},
                                    {"status", a.status}});
        reply = QJsonDocument(list);
    } else if (what == "authenticate-requests") {
        QJsonArray list;
        for (const auto &a : self->authenticateRequests())
            list.append(QJsonObject{{"body", q(a.body)}, {"username", q(a.username)},
                                    {"password", q(a.password)}, {"status", a.status}});
        reply = QJsonDocument(list);
    } else if (what == "clear-requests") {
        std::lock_guard<std::mutex> lock(mutex);
        authRequests.clear();
        notifications.clear();
        assetRequests.clear();
        pages.clear();
    } else {
        res.status = 404;
        setBody(res, "Unknown control: " + what + "\n", "text/plain");
        return;
    }
    res.status = 200;
    setBody(res, reply.toJson(QJsonDocument::Compact).toStdString() + "\n", "application/json");
}
