#pragma once

#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QQuickAsyncImageProvider>

class CoverStore;

// Covers of the window's cards and pages, fetched at most once per run: a card that a
// search hides and shows again, or a page showing the same cover at another size, is
// served from the bytes already received. The window asks for "image://cover/<url>", the
// url percent-encoded as one component.
class CoverImageProvider : public QQuickAsyncImageProvider
{
public:
    CoverImageProvider();
    ~CoverImageProvider() override;

    QQuickImageResponse *requestImageResponse(const QString &id, const QSize &requestedSize) override;

private:
    CoverStore *m_store; // lives on the main thread, where the network is used
};

class CoverResponse;

// Downloads and keeps the covers; only ever used on the main thread.
class CoverStore : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

public slots:
    // `response` is the CoverResponse to answer (a plain QObject pointer crosses threads
    // as a queued argument without registration).
    void request(const QUrl &url, QObject *response);

private:
    void finished(const QUrl &url, QNetworkReply *reply);

    QNetworkAccessManager m_network;
    QHash<QUrl, QByteArray> m_bytes;             // received covers
    QHash<QUrl, QString> m_errors;               // covers that could not be fetched
    QHash<QUrl, QList<QPointer<CoverResponse>>> m_waiting;
};
