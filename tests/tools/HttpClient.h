#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPair>
#include <QUrl>

// Blocking HTTP calls for tests: each runs a local event loop until the reply finishes or the
// time runs out.
struct HttpResult {
    bool finished = false;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    QUrl finalUrl;
    qint64 elapsedMs = 0;
    QByteArray header(const QByteArray &name) const;
};

class HttpClient {
public:
    HttpResult get(const QUrl &url, const QList<QPair<QByteArray, QByteArray>> &headers = {},
                   int timeoutMs = 10000, bool followRedirects = false);
    HttpResult post(const QUrl &url, const QByteArray &body, const QByteArray &contentType, int timeoutMs = 10000);
    // Starts a GET and leaves it running; the caller reads reply->bytesAvailable() etc.
    QNetworkReply *start(const QUrl &url, const QList<QPair<QByteArray, QByteArray>> &headers = {});
    static HttpResult finish(QNetworkReply *reply, int timeoutMs);
    // Raw request over a socket (for request targets a URL class would normalise).
    static QByteArray raw(quint16 port, const QByteArray &request, int timeoutMs = 5000);
    QNetworkAccessManager &manager() { return m_manager; }

private:
    QNetworkAccessManager m_manager;
};

// Spins the event loop until condition() holds or timeoutMs passes; returns condition().
