// The covers the window shows come from the addresses the packages give: fetched only over
// http(s), kept only up to a size, and decoded only when their header gives dimensions
// within bounds. The cover store against the portal stand-in, which serves the pictures.

#include "app/CoverImageProvider.h"

#include "PortalStandin.h"
#include "support/TestMain.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QQuickTextureFactory>
#include <QSignalSpy>
#include <QUrl>
#include <QtTest>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A binary PPM: its header gives the dimensions, the rest is the pixels.
QByteArray ppm(int width, int height)
{
    return QString("P6\n%1 %2\n255\n").arg(width).arg(height).toLatin1() + QByteArray(width * height * 3, char(0x80));
}

QByteArray png(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

}

class TestCoverImages : public QObject
{
    Q_OBJECT

    PortalStandin standin;
    QString m_root;

private slots:
    void initTestCase()
    {
        m_root = TestSupport::dataDir() + "/covers";
        QVERIFY(QDir().mkpath(m_root));
        QVERIFY(standin.start());
        standin.setAssetRoot(m_root.toStdString());
        QVERIFY(writeFile(m_root + "/poster.png", png(40, 60)));
        QVERIFY(writeFile(m_root + "/wide.ppm", ppm(9000, 2)));
        QVERIFY(writeFile(m_root + "/heavy.ppm", ppm(2400, 2400))); // 17.28 MB
    }

    void cleanupTestCase() { standin.stop(); }

    void cover_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("error"); // the start of the error; empty: the picture shows
        QTest::addColumn<QSize>("size");
        const QString web = QString::fromStdString(standin.baseUrl()) + "/assets/";
        QTest::newRow("a poster on the web") << web + "poster.png" << QString() << QSize(40, 60);
        QTest::newRow("a file of this machine") << QUrl::fromLocalFile(m_root + "/poster.png").toString()
                                                << "Not an http(s) address" << QSize();
        QTest::newRow("inline data") << "data:image/png;base64," + QString::fromLatin1(png(4, 4).toBase64())
                                     << "Not an http(s) address" << QSize();
        QTest::newRow("the program's own resources") << "qrc:/images/tolvane_logo.svg" << "Not an http(s) address"
                                                     << QSize();
        QTest::newRow("wider than 8192 pixels") << web + "wide.ppm" << "The cover's size is unknown or too large: 9000 x 2"
                                                << QSize();
        QTest::newRow("more than 16 MiB") << web + "heavy.ppm" << "The cover is larger than 16777216 bytes" << QSize();
    }

    void cover()
    {
        QFETCH(QString, address);
        QFETCH(QString, error);
        QFETCH(QSize, size);
        CoverImageProvider provider;
        QQuickImageResponse *response =
            provider.requestImageResponse(QString::fromLatin1(QUrl::toPercentEncoding(address)), QSize());
        QSignalSpy finished(response, &QQuickImageResponse::finished);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QQuickTextureFactory *factory = response->textureFactory();
        const QImage image = factory ? factory->image() : QImage();
        delete factory;
        if (error.isEmpty()) {
            QVERIFY2(response->errorString().isEmpty(), qPrintable(response->errorString()));
            QCOMPARE(image.size(), size);
        } else {
            QVERIFY2(response->errorString().startsWith(error), qPrintable(response->errorString()));
            QVERIFY(image.isNull());
        }
        delete response;
    }
};

TOLVANE_TEST_MAIN(TestCoverImages)
#include "tst_cover_images.moc"
