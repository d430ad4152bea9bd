#pragma once

// A local stand-in for the Tarn portal, its notification service and an asset server,
// for tests and demonstrations. One HTTP/1.1 server on 127.0.0.1 plays all three; every
// scripted behaviour can be changed while it runs (from any thread, or over HTTP through
// the /_control/ endpoints when it runs as the portal-standin executable).

#include <QJsonObject>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct StandinAccount {
    std::string username;
    std::string password;
    std::string key; // body of a successful /authenticate reply
};

// Faults of one asset file, keyed by its path relative to the asset folder.
struct AssetFault {
    int redirectHops = 0;            // answer with k chained 302 hops before the file
    int status = 0;                  // answer with this HTTP status and a short text (400, 403, 404, ...)
    int statusDelayMs = 0;           // ... that long after the request came in
    std::uint64_t throttleBytesPerSecond = 0; // 0: full speed
    std::int64_t stallAfter = -1;    // send this many body bytes, then nothing more (connection held)
    std::int64_t dropAfter = -1;     // send this many body bytes, then close the connection
    std::int64_t flipOffset = -1;    // absolute file offset of a byte sent XOR 0xFF ...
    int flipRequests = 0;            // ... in this many responses whose range covers it
    bool ignoreRange = false;        // answer 200 with the whole file even when a Range is asked
    std::uint64_t extraBytes = 0;    // the body goes on this many bytes past the file's end
    std::string redirectTo;          // answer 302 with this Location (any scheme, as given)

    bool isClear() const;
    QJsonObject toJson() const;
    // Keys: redirect_hops, status, throttle_bps, stall_after, drop_after, flip_offset,
    // flip_requests, ignore_range, extra_bytes, status_delay_ms, redirect_to. Missing keys keep
    // their defaults.
    static AssetFault fromJson(const QJsonObject &object);
};

struct AuthenticateRequest {
    std::string body;        // raw request body
    std::string contentType;
    std::string username;    // decoded form fields
    std::string password;
    int status = 0;          // status answered (0 while unanswered)
};

struct NotificationRequest {
    std::string target;      // raw request target, path and query
    std::vector<std::pair<std::string, std::string>> query; // decoded, in order
    std::uint64_t sequence = 0; // 1 for the first request since the start, and so on
    int status = 0;            // status answered (0 while unanswered)
    bool acknowledged = false; // answered 200 with the body "ok"
    std::string value(const std::string &name) const;       // first value of a query item
};

struct AssetRequest {
    std::string path;        // relative path of the file asked for (after redirects)
    std::string urlPath;     // decoded URL path as requested
    std::string range;       // Range header, empty when none
    int status = 0;
};

struct NotificationBehaviour {
    std::string body = "ok";
    int status = 200;
    int delayMs = 0;
    bool hang = false;       // hold every request unanswered until cleared or stopped
    int failNext = 0;        // the next N requests get failStatus
    int failStatus = 500;
    static NotificationBehaviour fromJson(const QJsonObject &object, const NotificationBehaviour &base);
    QJsonObject toJson() const;
};

struct AuthenticateBehaviour {
    int status = 0;          // 0: check the accounts; otherwise answer this status
    std::string body;        // body for a forced status (a default text when empty)
    bool hang = false;       // never answer (until cleared or stopped)
    static AuthenticateBehaviour fromJson(const QJsonObject &object, const AuthenticateBehaviour &base);
    QJsonObject toJson() const;
};

struct VersionCheckBehaviour {
    long long version = 20170613;
    std::string description = "<p>No changes.</p>";
    std::string winUrl;      // empty: the stand-in's own installer URL
    bool useRawBody = false; // answer rawBody instead of the JSON object
    std::string rawBody;
    int status = 200;
    static VersionCheckBehaviour fromJson(const QJsonObject &object, const VersionCheckBehaviour &base);
    QJsonObject toJson() const;
};

struct InstallerBehaviour {
    std::string filePath;    // file served; empty: no installer
    std::string name = "TolvaneSetup.exe"; // served at /downloads/<name> (percent-encoded)
    int failStatus = 0;      // answer this status instead of the file
    bool drop = false;       // close the connection after half of the file
    static InstallerBehaviour fromJson(const QJsonObject &object, const InstallerBehaviour &base);
    QJsonObject toJson() const;
};

class PortalStandin {
public:
    PortalStandin();
    ~PortalStandin();
    PortalStandin(const PortalStandin &) = delete;
    PortalStandin &operator=(const PortalStandin &) = delete;

    // Listens on 127.0.0.1:port (0: any free port) and serves from its own thread.
    bool start(int port = 0);
    // Releases every held request and stops serving; waits for the server thread.
    void stop();
    bool isRunning() const;
    int port() const;
    std::string baseUrl() const; // http://127.0.0.1:PORT

    // Configuration, as the executable's --config file (see applyConfig for the keys).
    bool applyConfig(const QJsonObject &config, std::string *error = nullptr);

    // Portal.
    void setAccounts(const std::vector<StandinAccount> &accounts);
    void addAccount(const StandinAccount &account);
    void setAuthenticateBehaviour(const AuthenticateBehaviour &behaviour);
    AuthenticateBehaviour authenticateBehaviour() const;
    std::vector<AuthenticateRequest> authenticateRequests() const;
    void setVersionCheck(const VersionCheckBehaviour &behaviour);
    VersionCheckBehaviour versionCheck() const;
    int versionCheckRequestCount() const;
    void setInstaller(const InstallerBehaviour &behaviour);
    InstallerBehaviour installer() const;
    std::string installerUrl() const; // full URL of the installer download
    std::vector<std::string> pageRequests() const; // paths of the HTML pages asked for

    // Notification service.
    void setNotificationBehaviour(const NotificationBehaviour &behaviour);
    NotificationBehaviour notificationBehaviour() const;
    void failNextNotifications(int count, int status = 500);
    std::vector<NotificationRequest> notificationRequests() const;
    void clearNotificationRequests();
    // Each notification request is also appended to this file as one line (its target).
    void setNotificationLogFile(const std::string &path);

    // Asset server.
    void setAssetRoot(const std::string &folder);
    std::string assetRoot() const;
    std::string assetPrefix() const; // "/assets"
    std::string assetUrl(const std::string &relativePath) const; // percent-encoded
    void setAssetFault(const std::string &relativePath, const AssetFault &fault);
    AssetFault assetFault(const std::string &relativePath) const;
    void clearAssetFault(const std::string &relativePath);
    void clearAssetFaults();
    std::vector<AssetRequest> assetRequests() const;
    void clearAssetRequests();
    // Body bytes sent for asset files since the start (all responses).
    std::uint64_t assetBytesSent() const;

    // Percent-encodes a path, keeping "/" and unreserved characters.
    static std::string encodePath(const std::string &path);
    // Decodes %XX escapes (and '+' as space when asked).
    static std::string percentDecode(const std::string &text, bool plusAsSpace);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
