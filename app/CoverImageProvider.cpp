#include "CoverImageProvider.h"

#include <QBuffer>
#include <QDebug>
#include <QCoreApplication>
#include <QImageReader>
#include <QNetworkReply>
#include <QQuickTextureFactory>
#include <QThread>

namespace {

// A cover is a poster of a few hundred kilobytes. Larger answers are not kept, and a
// picture larger than this is not decoded: its header says how large it is first.
constexpr qint64 largestCoverBytes = 16 * 1024 * 1024;
constexpr int largestCoverSide = 8192;
constexpr qint64 mostCoverPixels = 40 * 1000 * 1000;

}

// One image asked for by the window. Made on the image reader's thread, answered on the
// main thread: `finished` is emitted only after the image is set.
class CoverResponse : public QQuickImageResponse
{
public:
    explicit CoverResponse(const QSize &requestedSize) : m_requestedSize(requestedSize) {}

    QQuickTextureFactory *textureFactory() const override
    {
        return QQuickTextureFactory::textureFactoryForImage(m_image);
    }
    QString errorString() const override { return m_error; }

    void answer(const QByteArray &bytes)
    {
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        // The picture's own proportions, scaled to the width asked for (the window gives
        // only a width, the cover crops to fill).
        const QSize size = reader.size();
        if (!size.isValid() || size.width() > largestCoverSide || size.height() > largestCoverSide
            || qint64(size.width()) * size.height() > mostCoverPixels) {
            m_error = QString("The cover's size is unknown or too large: %1 x %2").arg(size.width()).arg(size.height());
            emit finished();
            return;
        }
        if (size.isValid() && m_requestedSize.width() > 0 && m_requestedSize.width() < size.width())
            reader.setScaledSize(size.scaled(m_requestedSize.width(), size.height(), Qt::KeepAspectRatio));
        if (!reader.read(&m_image))
            m_error = reader.errorString();
        emit finished();
    }

    void fail(const QString &error)
    {
        m_error = error;
        emit finished();
    }

private:
    const QSize m_requestedSize;
    QImage m_image;
    QString m_error;
};

CoverImageProvider::CoverImageProvider()
    : m_store(new CoverStore)
{
    m_store->moveToThread(QCoreApplication::instance()->thread());
}

CoverImageProvider::~CoverImageProvider()
{
    m_store->deleteLater();
}

QQuickImageResponse *CoverImageProvider::requestImageResponse(const QString &id, const QSize &requestedSize)
{
    auto *response = new CoverResponse(requestedSize);
    // Answered and finally deleted on the main thread, where the store lives.
    response->moveToThread(m_store->thread());
    const QUrl url(QUrl::fromPercentEncoding(id.toUtf8()));
    QMetaObject::invokeMethod(m_store, "request", Qt::QueuedConnection,
                              Q_ARG(QUrl, url), Q_ARG(QObject *, response));
    return response;
}

void CoverStore::request(const QUrl &url, QObject *object)
{
    auto *response = static_cast<CoverResponse *>(object);
    if (m_bytes.contains(url)) {
        response->answer(m_bytes.value(url));
        return;
    }
    if (m_errors.contains(url)) {
        response->fail(m_errors.value(url));
        return;
    }
    // Covers come from the web only: the address is the package's, and a file of this
    // machine or any other scheme is not read.
    const QString scheme = url.scheme().toLower();
    if ((scheme != QLatin1String("http") && scheme != QLatin1String("https")) || url.host().isEmpty()) {
        qDebug() << "[CoverStore] Not fetching a cover that is not on http(s):" << url.toString();
        m_errors.insert(url, QString("Not an http(s) address"));
        response->fail(m_errors.value(url));
        return;
    }
    QList<QPointer<CoverResponse>> &waiting = m_waiting[url];
    waiting.append(response);
    if (waiting.size() > 1)
        return;
    QNetworkReply *reply = m_network.get(QNetworkRequest(url));
    connect(reply, &QNetworkReply::finished, this, [this, url, reply] { finished(url, reply); });
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
        if ((received > largestCoverBytes || total > largestCoverBytes) && !reply->property("tooLarge").toBool()) {
            reply->setProperty("tooLarge", true);
            reply->abort();
        }
    });
}

void CoverStore::finished(const QUrl &url, QNetworkReply *reply)
{
    reply->deleteLater();
    const QList<QPointer<CoverResponse>> waiting = m_waiting.take(url);
    if (reply->property("tooLarge").toBool()) {
        const QString error = QString("The cover is larger than %1 bytes").arg(largestCoverBytes);
        qDebug() << "[CoverStore] Not keeping a cover:" << error << url.toString();
        m_errors.insert(url, error);
        for (const QPointer<CoverResponse> &response : waiting)
            if (response)
                response->fail(error);
        return;
    }
    if (reply->error() == QNetworkReply::NoError) {
        const QByteArray bytes = reply->readAll();
        m_bytes.insert(url, bytes);
        for (const QPointer<CoverResponse> &response : waiting)
            if (response)
                response->answer(bytes);
    } else {
        // Kept for the run too: a missing cover shows its title, and asking again for
        // every card that scrolls into view would only repeat the failure.
        m_errors.insert(url, reply->errorString());
        for (const QPointer<CoverResponse> &response : waiting)
            if (response)
                response->fail(reply->errorString());
    }
}
