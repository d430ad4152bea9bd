#include "HttpClient.h"

#include <QEventLoop>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QTimer>

QByteArray HttpResult::header(const QByteArray &name) const
{
    for (const auto &h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QByteArray();
}

HttpResult HttpClient::finish(QNetworkReply *reply, int timeoutMs)
{
    HttpResult result;
    QElapsedTimer clock;
    clock.start();
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    result.elapsedMs = clock.elapsed();
    result.finished = reply->isFinished();
    if (!result.finished)
        reply->abort();
    result.error = reply->error();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    result.headers = reply->rawHeaderPairs();
    result.finalUrl = reply->url();
    reply->deleteLater();
    return result;
}

QNetworkReply *HttpClient::start(const QUrl &url, const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QNetworkRequest request(url);
    for (const auto &h : headers)
        request.setRawHeader(h.first, h.second);
    return m_manager.get(request);
}

HttpResult HttpClient::get(const QUrl &url, const QList<QPair<QByteArray, QByteArray>> &headers, int timeoutMs,
                           bool followRedirects)
{
    QNetworkRequest request(url);
    for (const auto &h : headers)
        request.setRawHeader(h.first, h.second);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         followRedirects ? QNetworkRequest::NoLessSafeRedirectPolicy
                                         : QNetworkRequest::ManualRedirectPolicy);
    return finish(m_manager.get(request), timeoutMs);
}

HttpResult HttpClient::post(const QUrl &url, const QByteArray &body, const QByteArray &contentType, int timeoutMs)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    return finish(m_manager.post(request, body), timeoutMs);
}

QByteArray HttpClient::raw(quint16 port, const QByteArray &request, int timeoutMs)
{
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", port);
    if (!socket.waitForConnected(timeoutMs))
        return QByteArray();
    socket.write(request);
    QByteArray answer;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (socket.waitForReadyRead(100))
            answer += socket.readAll();
        else if (socket.state() != QAbstractSocket::ConnectedState)
            break;
        if (answer.contains("\r\n\r\n")) {
            const int headerEnd = answer.indexOf("\r\n\r\n") + 4;
            const int lengthAt = answer.toLower().indexOf("content-length:");
            if (lengthAt >= 0 && lengthAt < headerEnd) {
                const int lineEnd = answer.indexOf("\r\n", lengthAt);
                const int length = answer.mid(lengthAt + 15, lineEnd - lengthAt - 15).trimmed().toInt();
                if (answer.size() >= headerEnd + length)
                    break;
            }
        }
    }
    answer += socket.readAll();
    return answer;
}
