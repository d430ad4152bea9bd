// A benchmark-only prototype of the download engine's read path on libcurl instead of
// Qt Network, to compare the CPU each takes per gigabyte. It is not part of the product:
// it does only what the read path does (one GET with a "Range" header, paced by a 20 ms
// tick that takes at most the limit's share of bytes, one write per piece into the file),
// none of the engine's statuses, redirects or errors.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <curl/curl.h>

class CurlReadPathPrototype : public QObject
{
public:
    CurlReadPathPrototype(const QString &url, const QString &path, qint64 bytesPerSecond);
    ~CurlReadPathPrototype() override;
    bool start();

private:
    static size_t receive(char *data, size_t size, size_t count, void *self);
    void tick();

    QByteArray m_url;
    QString m_path;
    qint64 m_bytesPerSecond;
    int m_fd = -1;
    CURLM *m_multi = nullptr;
    CURL *m_easy = nullptr;
    curl_slist *m_headers = nullptr;
    QTimer m_timer;
    qint64 m_budget = 0;
    qint64 m_lastTickNs = 0;
    QElapsedTimer m_clock;
};
