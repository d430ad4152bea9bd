// nginx as the asset server: a DCP downloaded end to end, one of its files resumed from a
// partial file with a range request that nginx answers itself.

#include "DownloadFixture.h"

#include "download/DownloadManager.h"
#include "portal/NotificationManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

#include <unistd.h>

using namespace DownloadFixture;

class TestDownloadNginx : public QObject
{
    Q_OBJECT

private:
    PortalStandin standin; // notification service only
    QProcess nginx;
    QString prefix;
    int port = 0;

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        new ScriptedUserInteraction();
        const QString binary = QFileInfo::exists("/usr/sbin/nginx") ? "/usr/sbin/nginx"
                                                                      : QStandardPaths::findExecutable("nginx");
        if (binary.isEmpty())
            QSKIP("nginx is not installed");
        QVERIFY(standin.start());
        qputenv("TOLVANE_NOTIFICATION_URL", QByteArray::fromStdString(standin.baseUrl()));
        NotificationManager::instance()->setConsumerInterval(50);
        DownloadManager::instance();

        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
        probe.close();
        prefix = TestSupport::dataDir() + "/nginx";
        QDir().mkpath(prefix + "/logs");
        QFile conf(prefix + "/nginx.conf");
        QVERIFY(conf.open(QIODevice::WriteOnly));
        // The workers read the test's private temporary folder: they run as the test's user.
        const QString user = geteuid() == 0 ? "user root;\n" : QString();
        const QString text = user
            + QString("worker_processes 1;\n"
                      "pid %1/nginx.pid;\n"
                      "error_log %1/logs/error.log;\n"
                      "events { worker_connections 64; }\n"
                      "http {\n"
                      "  log_format range '$request_uri|$http_range|$status|$body_bytes_sent';\n"
                      "  access_log %1/logs/access.log range;\n"
                      "  client_body_temp_path %1/tmp_body; proxy_temp_path %1/tmp_proxy;\n"
                      "  fastcgi_temp_path %1/tmp_fcgi; uwsgi_temp_path %1/tmp_uwsgi; scgi_temp_path %1/tmp_scgi;\n"
                      "  server { listen 127.0.0.1:%2; location /assets/ { alias %3/; } }\n"
                      "}\n")
                  .arg(prefix)
                  .arg(port)
                  .arg(sourceRoot());
        conf.write(text.toUtf8());
        conf.close();
        nginx.setProcessChannelMode(QProcess::ForwardedChannels);
        nginx.start(binary, {"-p", prefix, "-c", prefix + "/nginx.conf", "-g", "daemon off;"});
        QVERIFY(nginx.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(prefix + "/nginx.pid"), 5000);
    }

    void downloadWithResumeFromNginx()
    {
        const GeneratedDcp generated = generate("From_Nginx", 1, 3000000, 1201);
        const GeneratedAsset picture = *generated.asset("picture:1");
        DCP *dcp = buildDcp(standin, generated, 12001);
        // URLs of nginx instead of the stand-in.
        for (Asset *asset : dcp->getAssets()) {
            QUrl url(asset->downloadUrl());
            url.setPort(port);
            asset->setDownloadUrl(url.toString());
        }
        Asset *asset = assetOf(dcp, picture);
        const qint64 partial = 123457;
        QVERIFY(writePrefix(sourcePath(generated, picture), asset->filePath(), partial));
        QSignalSpy synced(dcp->getReels().first(), &Reel::downloadSynced);
        store(dcp);
        QTRY_COMPARE_WITH_TIMEOUT(synced.size(), 1, 20000);
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QVERIFY(standin.assetRequests().empty());

        const QStringList log = QString::fromUtf8(readAll(prefix + "/logs/access.log")).split('\n', Qt::SkipEmptyParts);
        QStringList pictureLines;
        for (const QString &line : log)
            if (line.contains(QFileInfo(picture.relativePath).fileName()))
                pictureLines.append(line);
        QCOMPARE(pictureLines.size(), 1);
        const QStringList fields = pictureLines.first().split('|');
        QCOMPARE(fields.at(1), QString("bytes=%1-").arg(partial));
        QCOMPARE(fields.at(2), QString("206"));
        QCOMPARE(fields.at(3).toLongLong(), qint64(picture.size) - partial);
    }

    void cleanupTestCase()
    {
        if (nginx.state() != QProcess::NotRunning) {
            nginx.terminate();
            nginx.waitForFinished(5000);
        }
        standin.stop();
    }
};

TOLVANE_TEST_MAIN(TestDownloadNginx)
#include "tst_download_nginx.moc"
