#include "DcpGenerator.h"
#include "HttpClient.h"
#include "PackageBuilder.h"
#include "PortalStandin.h"
#include "support/TestMain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

namespace {

const QByteArray kKey = "k3y-0123456789abcdefghijklmnopqrstuv";

QUrl url(const PortalStandin &standin, const QString &path)
{
    return QUrl(QString::fromStdString(standin.baseUrl()) + path);
}

template <typename F>
bool waitUntil(F condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < timeoutMs)
        QTest::qWait(10);
    return condition();
}

// Pixels of the image's middle band bright enough to be text on the dark cover.
int brightPixels(const QImage &image)
{
    int count = 0;
    for (int y = image.height() / 5; y < image.height() * 4 / 5; ++y)
        for (int x = 0; x < image.width(); ++x)
            count += qGray(image.pixel(x, y)) > 180;
    return count;
}

} // namespace

class TestPortalStandin : public QObject {
    Q_OBJECT

private:
    PortalStandin m_standin;
    HttpClient m_http;
    QString m_assets;
    QByteArray m_big;   // assets/reel 1/picture.mxf
    QByteArray m_small; // assets/small.bin

    QUrl asset(const QString &relative) const
    {
        return QUrl(QString::fromStdString(m_standin.assetUrl(relative.toStdString())));
    }
    void writeFile(const QString &relative, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(m_assets + "/" + relative).path());
        QFile file(m_assets + "/" + relative);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), bytes.size());
    }

private slots:
    void initTestCase()
    {
        m_assets = TestSupport::dataDir() + "/assets";
        m_big.resize(600000);
        QRandomGenerator generator(42);
        generator.fillRange(reinterpret_cast<quint32 *>(m_big.data()), m_big.size() / 4);
        m_small = m_big.left(1000);
        writeFile("reel 1/picture.mxf", m_big);
        writeFile("small.bin", m_small);
        writeFile("../secret.txt", "secret");
        m_standin.setAssetRoot(m_assets.toStdString());
        m_standin.setAccounts({{"operator", "pa&s=w+o%rd ü", kKey.toStdString()}});
        QVERIFY(m_standin.start(0));
        QVERIFY(m_standin.port() > 0);
        QCOMPARE(QString::fromStdString(m_standin.baseUrl()),
                 QString("http://127.0.0.1:%1").arg(m_standin.port()));
    }

    void cleanupTestCase()
    {
        m_standin.stop();
    }

    void init()
    {
        m_standin.clearAssetFaults();
        m_standin.clearAssetRequests();
        m_standin.clearNotificationRequests();
        m_standin.setNotificationBehaviour(NotificationBehaviour());
        m_standin.setAuthenticateBehaviour(AuthenticateBehaviour());
    }

    void authenticateAnswersTheKeyForAKnownAccount()
    {
        const QByteArray body = "username=operator&password="
            + QUrl::toPercentEncoding(QString::fromUtf8("pa&s=w+o%rd ü"));
        const HttpResult r = m_http.post(url(m_standin, "/authenticate"), body, "application/x-www-form-urlencoded");
        QCOMPARE(r.status, 200);
        QCOMPARE(r.body, kKey);
        const auto requests = m_standin.authenticateRequests();
        QVERIFY(!requests.empty());
        QCOMPARE(QByteArray::fromStdString(requests.back().body), body);
        QCOMPARE(QString::fromStdString(requests.back().password), QString::fromUtf8("pa&s=w+o%rd ü"));
        QCOMPARE(QString::fromStdString(requests.back().username), QString("operator"));
        QCOMPARE(requests.back().status, 200);
    }

    void authenticateRefusesAWrongPasswordWithReadableText()
    {
        const HttpResult r = m_http.post(url(m_standin, "/authenticate"), "username=operator&password=nope",
                                         "application/x-www-form-urlencoded");
        QCOMPARE(r.status, 403);
        QCOMPARE(r.body, QByteArray("Invalid username or password."));
    }

    void authenticateAnswersScriptedStatuses()
    {
        for (int status : {500, 401}) {
            AuthenticateBehaviour b;
            b.status = status;
            m_standin.setAuthenticateBehaviour(b);
            const HttpResult r = m_http.post(url(m_standin, "/authenticate"), "username=operator&password=x",
                                             "application/x-www-form-urlencoded");
            QCOMPARE(r.status, status);
        }
    }

    void authenticateCanNeverAnswer()
    {
        AuthenticateBehaviour b;
        b.hang = true;
        m_standin.setAuthenticateBehaviour(b);
        QNetworkRequest request(url(m_standin, "/authenticate"));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        request.setTransferTimeout(600);
        const HttpResult r = HttpClient::finish(m_http.manager().post(request, QByteArray("username=a")), 5000);
        QVERIFY(r.finished);
        QCOMPARE(r.error, QNetworkReply::OperationCanceledError);
        QCOMPARE(r.status, 0);
        // Lifting the hang answers normally again.
        m_standin.setAuthenticateBehaviour(AuthenticateBehaviour());
        const HttpResult again = m_http.post(url(m_standin, "/authenticate"), "username=a&password=b",
                                             "application/x-www-form-urlencoded");
        QCOMPARE(again.status, 403);
    }

    void versionCheckAnswersJsonOrARawBody()
    {
        VersionCheckBehaviour v;
        v.version = 20170614;
        v.description = "<b>New</b>";
        m_standin.setVersionCheck(v);
        HttpResult r = m_http.get(url(m_standin, "/versioncheck"));
        QCOMPARE(r.status, 200);
        const QJsonObject o = QJsonDocument::fromJson(r.body).object();
        QCOMPARE(o["version"].toInt(), 20170614);
        QCOMPARE(o["description"].toString(), QString("<b>New</b>"));
        QCOMPARE(o["win_url"].toString(), QString::fromStdString(m_standin.installerUrl()));

        v.useRawBody = true;
        v.rawBody = "{\"version\": \"20990101\"}";
        m_standin.setVersionCheck(v);
        r = m_http.get(url(m_standin, "/versioncheck"));
        QCOMPARE(r.body, QByteArray("{\"version\": \"20990101\"}"));
        QVERIFY(QJsonDocument::fromJson(r.body).object()["version"].isString());
        m_standin.setVersionCheck(VersionCheckBehaviour());
    }

    void installerIsServedUnderAnEncodedNameAndCanFail()
    {
        writeFile("../Tolvane Setup.exe", m_small);
        InstallerBehaviour b;
        b.filePath = (TestSupport::dataDir() + "/Tolvane Setup.exe").toStdString();
        b.name = "Tolvane Setup.exe";
        m_standin.setInstaller(b);
        QVERIFY(m_standin.installerUrl().find("Tolvane%20Setup.exe") != std::string::npos);
        HttpResult r = m_http.get(QUrl(QString::fromStdString(m_standin.installerUrl())));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.body, m_small);

        b.failStatus = 500;
        m_standin.setInstaller(b);
        r = m_http.get(QUrl(QString::fromStdString(m_standin.installerUrl())));
        QCOMPARE(r.status, 500);

        b.failStatus = 0;
        b.drop = true;
        m_standin.setInstaller(b);
        r = m_http.get(QUrl(QString::fromStdString(m_standin.installerUrl())));
        QVERIFY(r.error != QNetworkReply::NoError);
        QVERIFY(r.body.size() < m_small.size());
    }

    void portalPagesAreHtml()
    {
        for (const char *path : {"/", "/updates", "/user/password/reset/", "/user/forgot-username"}) {
            const HttpResult r = m_http.get(url(m_standin, path));
            QCOMPARE(r.status, 200);
            QVERIFY(r.header("Content-Type").startsWith("text/html"));
            QVERIFY(r.body.contains("<html>"));
        }
    }

    void notificationsAreRecordedInOrderAndAnsweredOk()
    {
        const QString logPath = TestSupport::dataDir() + "/notifications.log";
        m_standin.setNotificationLogFile(logPath.toStdString());
        for (int event = 1; event <= 3; ++event) {
            QUrl u = url(m_standin, "/notification/dcp");
            QUrlQuery query;
            query.addQueryItem("user_uuid", "5d0c43f6-7e1a-4c57-9a8e-2f1b6f0d3c21");
            query.addQueryItem("campaign_dcp_id", "4521");
            query.addQueryItem("reel_number", "2");
            query.addQueryItem("event", QString::number(event));
            u.setQuery(query);
            const HttpResult r = m_http.get(u);
            QCOMPARE(r.status, 200);
            QCOMPARE(r.body, QByteArray("ok"));
            QCOMPARE(r.header("Content-Type"), QByteArray("text/plain"));
        }
        const auto list = m_standin.notificationRequests();
        QCOMPARE(list.size(), size_t(3));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(list[i].value("event"), std::to_string(i + 1));
            QCOMPARE(list[i].value("campaign_dcp_id"), std::string("4521"));
            QCOMPARE(list[i].value("reel_number"), std::string("2"));
            QCOMPARE(list[i].value("user_uuid"), std::string("5d0c43f6-7e1a-4c57-9a8e-2f1b6f0d3c21"));
            QCOMPARE(list[i].query.front().first, std::string("user_uuid"));
        }
        QFile log(logPath);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = log.readAll().trimmed().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[2].startsWith("/notification/dcp?user_uuid="));
        QVERIFY(lines[2].endsWith("event=3"));
        m_standin.setNotificationLogFile(std::string());
    }

    void notificationsCanFailForAWhile()
    {
        m_standin.failNextNotifications(2, 503);
        QList<int> statuses;
        for (int i = 0; i < 3; ++i)
            statuses.append(m_http.get(url(m_standin, "/notification/dcp?event=8")).status);
        QCOMPARE(statuses, (QList<int>{503, 503, 200}));
        QCOMPARE(m_standin.notificationRequests().size(), size_t(3));
        // Each record tells what was answered: only the plain "ok" acknowledges.
        QList<int> recorded;
        QList<bool> acknowledged;
        for (const NotificationRequest &request : m_standin.notificationRequests()) {
            recorded.append(request.status);
            acknowledged.append(request.acknowledged);
        }
        QCOMPARE(recorded, (QList<int>{503, 503, 200}));
        QCOMPARE(acknowledged, (QList<bool>{false, false, true}));

        NotificationBehaviour b;
        b.body = "OK";
        m_standin.setNotificationBehaviour(b);
        HttpResult r = m_http.get(url(m_standin, "/notification/dcp?event=8"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.body, QByteArray("OK"));
        QCOMPARE(m_standin.notificationRequests().back().status, 200);
        QVERIFY(!m_standin.notificationRequests().back().acknowledged);

        b = NotificationBehaviour();
        b.delayMs = 400;
        m_standin.setNotificationBehaviour(b);
        r = m_http.get(url(m_standin, "/notification/dcp?event=8"));
        QCOMPARE(r.body, QByteArray("ok"));
        QVERIFY2(r.elapsedMs >= 350, qPrintable(QString::number(r.elapsedMs)));
    }

    void notificationsCanBeHeldUnanswered()
    {
        NotificationBehaviour b;
        b.hang = true;
        m_standin.setNotificationBehaviour(b);
        QNetworkReply *reply = m_http.start(url(m_standin, "/notification/dcp?event=1"));
        QTest::qWait(500);
        QVERIFY(!reply->isFinished());
        QCOMPARE(m_standin.notificationRequests().size(), size_t(1));
        QCOMPARE(m_standin.notificationRequests().front().status, 0);
        m_standin.setNotificationBehaviour(NotificationBehaviour());
        const HttpResult r = HttpClient::finish(reply, 5000);
        QVERIFY(r.finished);
        QCOMPARE(r.body, QByteArray("ok"));
        QCOMPARE(m_standin.notificationRequests().front().status, 200);
        QVERIFY(m_standin.notificationRequests().front().acknowledged);
    }

    void rangeRequestsGetPartialContent()
    {
        HttpResult r = m_http.get(asset("reel 1/picture.mxf"), {{"Range", "bytes=1000-"}});
        QCOMPARE(r.status, 206);
        QCOMPARE(r.header("Content-Range"), QByteArray("bytes 1000-599999/600000"));
        QCOMPARE(r.body, m_big.mid(1000));

        r = m_http.get(asset("reel 1/picture.mxf"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.body, m_big);
        QVERIFY(r.header("Content-Range").isEmpty());

        r = m_http.get(asset("small.bin"), {{"Range", "bytes=1000-"}});
        QCOMPARE(r.status, 416);
        r = m_http.get(asset("small.bin"), {{"Range", "bytes=5000-"}});
        QCOMPARE(r.status, 416);

        const auto requests = m_standin.assetRequests();
        QCOMPARE(requests.size(), size_t(4));
        QCOMPARE(requests[0].path, std::string("reel 1/picture.mxf"));
        QCOMPARE(requests[0].range, std::string("bytes=1000-"));
        QCOMPARE(requests[0].status, 206);
        QCOMPARE(requests[1].range, std::string());
        QCOMPARE(requests[2].status, 416);
    }

    void missingFilesAndPathsOutsideTheFolderAreRefused()
    {
        QCOMPARE(m_http.get(asset("nothing.mxf")).status, 404);
        const quint16 port = static_cast<quint16>(m_standin.port());
        for (const QByteArray &target : {QByteArray("/assets/../secret.txt"), QByteArray("/assets/..%2Fsecret.txt"),
                                         QByteArray("/assets/%2E%2E/secret.txt"),
                                         QByteArray("/redirect/0/..%2Fsecret.txt")}) {
            const QByteArray answer
                = HttpClient::raw(port, "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
            QVERIFY2(!answer.contains("secret\r\n") && !answer.endsWith("secret"), answer.constData());
            QVERIFY2(answer.startsWith("HTTP/1.1 4"), answer.constData());
        }
    }

    void redirectChainEndsAtTheFile()
    {
        AssetFault f;
        f.redirectHops = 3;
        m_standin.setAssetFault("small.bin", f);
        HttpResult r = m_http.get(asset("small.bin"));
        QCOMPARE(r.status, 302);
        r = m_http.get(asset("small.bin"), {{"Range", "bytes=10-"}}, 10000, true);
        QCOMPARE(r.status, 206);
        QCOMPARE(r.body, m_small.mid(10));
        QVERIFY(r.finalUrl.path().startsWith("/redirect/0/"));
        // Qt may send a hop twice; the hops themselves are what counts.
        QMap<QString, int> hops;
        for (const AssetRequest &a : m_standin.assetRequests()) {
            QCOMPARE(a.path, std::string("small.bin"));
            hops[QString::fromStdString(a.urlPath)] = a.status;
        }
        const QMap<QString, int> expected{{"/assets/small.bin", 302},
                                          {"/redirect/2/small.bin", 302},
                                          {"/redirect/1/small.bin", 302},
                                          {"/redirect/0/small.bin", 206}};
        QCOMPARE(hops, expected);

        // curl counts the hops exactly.
        QProcess curl;
        curl.start("curl", {"-s", "-L", "-o", "/dev/null", "-w", "%{num_redirects} %{http_code}",
                            asset("small.bin").toString()});
        QVERIFY(curl.waitForFinished(10000));
        QCOMPARE(curl.readAllStandardOutput(), QByteArray("3 200"));
    }

    void statusFaults()
    {
        for (int status : {400, 403, 404}) {
            AssetFault f;
            f.status = status;
            m_standin.setAssetFault("small.bin", f);
            const HttpResult r = m_http.get(asset("small.bin"), {{"Range", "bytes=0-"}});
            QCOMPARE(r.status, status);
        }
        m_standin.clearAssetFault("small.bin");
        QCOMPARE(m_http.get(asset("small.bin")).status, 200);
    }

    // The image URL the package tool writes when given none, for a DCP it generated into
    // the served folder, is a real poster with the title on it.
    void coverAtThePackageToolsDefaultUrlIsARealImage()
    {
        DcpGeneratorOptions options;
        options.outDir = m_assets;
        options.title = "Cover Feature";
        options.totalSize = 4096;
        GeneratedDcp dcp;
        QString error;
        QVERIFY2(generateDcp(options, dcp, &error), qPrintable(error));
        PackageOptions package;
        package.baseUrl = QString::fromStdString(m_standin.baseUrl()) + "/assets/{dcp}";
        PackageDcpOptions element;
        element.dir = dcp.path;
        package.dcps = {element};
        QJsonObject json;
        QVERIFY2(buildPackageJson(package, json, &error), qPrintable(error));
        const QString imageUrl = json["dcps"].toArray().at(0).toObject()["dcp_image_url"].toString();
        QCOMPARE(imageUrl, QString::fromStdString(m_standin.baseUrl()) + "/assets/Cover%20Feature/poster.jpg");

        const HttpResult r = m_http.get(QUrl(imageUrl));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.header("Content-Type"), QByteArray("image/jpeg"));
        const QImage image = QImage::fromData(r.body, "JPG");
        QVERIFY(!image.isNull());
        QCOMPARE(image.size(), QSize(400, 606));
        QVERIFY2(brightPixels(image) > 500, "no title drawn on the cover");
        // Another title draws another picture.
        QDir().mkpath(m_assets + "/Other Feature");
        const QImage other = QImage::fromData(m_http.get(asset("Other Feature/poster.jpg")).body, "JPG");
        QVERIFY(!other.isNull());
        QVERIFY(other != image);
    }

    void coverRequests_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("faultStatus");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("type");
        QTest::newRow("png asked") << "Cover Png/poster.png" << 0 << 200 << QByteArray("image/png");
        QTest::newRow("no such folder") << "Nowhere/poster.jpg" << 0 << 404 << QByteArray("text/plain");
        QTest::newRow("other name") << "Cover Png/cover.jpg" << 0 << 404 << QByteArray("text/plain");
        QTest::newRow("scripted 404") << "Cover Png/poster.jpg" << 404 << 404 << QByteArray("text/plain");
        QTest::newRow("outside the folder") << "../poster.jpg" << 0 << 403 << QByteArray("text/plain");
    }

    void coverRequests()
    {
        QFETCH(QString, path);
        QFETCH(int, faultStatus);
        QFETCH(int, status);
        QFETCH(QByteArray, type);
        QDir().mkpath(m_assets + "/Cover Png");
        if (faultStatus != 0) {
            AssetFault f;
            f.status = faultStatus;
            m_standin.setAssetFault(path.toStdString(), f);
        }
        const QByteArray answer = HttpClient::raw(static_cast<quint16>(m_standin.port()),
                                                  "GET /assets/" + QByteArray::fromStdString(PortalStandin::encodePath(
                                                      path.toStdString()))
                                                      + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        m_standin.clearAssetFaults();
        QVERIFY2(answer.startsWith("HTTP/1.1 " + QByteArray::number(status)), answer.left(200).constData());
        QVERIFY2(answer.contains("Content-Type: " + type), answer.left(300).constData());
        if (status == 200)
            QVERIFY(!QImage::fromData(answer.mid(answer.indexOf("\r\n\r\n") + 4), "PNG").isNull());
    }

    void posterFileOfItsOwnIsServedAsItIs()
    {
        writeFile("Own Poster/poster.jpg", m_small);
        const HttpResult r = m_http.get(asset("Own Poster/poster.jpg"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.body, m_small);
    }

    void throttleKeepsToTheRate()
    {
        AssetFault f;
        f.throttleBytesPerSecond = 400000;
        m_standin.setAssetFault("reel 1/picture.mxf", f);
        const HttpResult r = m_http.get(asset("reel 1/picture.mxf"), {{"Range", "bytes=200000-"}});
        QCOMPARE(r.body, m_big.mid(200000));
        // 400000 bytes at 400000 B/s: about one second.
        QVERIFY2(r.elapsedMs >= 850 && r.elapsedMs <= 2000, qPrintable(QString::number(r.elapsedMs)));
    }

    void stallHoldsTheConnectionUntilLifted()
    {
        AssetFault f;
        f.stallAfter = 100000;
        m_standin.setAssetFault("reel 1/picture.mxf", f);
        QNetworkReply *reply = m_http.start(asset("reel 1/picture.mxf"));
        QVERIFY(waitUntil([&] { return reply->bytesAvailable() >= 100000; }, 5000));
        QTest::qWait(700);
        QCOMPARE(reply->bytesAvailable(), qint64(100000));
        QVERIFY(!reply->isFinished());
        // Changing the fault while the transfer runs lets it complete.
        m_standin.clearAssetFault("reel 1/picture.mxf");
        const HttpResult r = HttpClient::finish(reply, 5000);
        QVERIFY(r.finished);
        QCOMPARE(r.error, QNetworkReply::NoError);
        QCOMPARE(r.body, m_big);
    }

    void throttleChangedDuringATransferTakesEffect()
    {
        AssetFault f;
        f.throttleBytesPerSecond = 50000; // 12 s for the whole file
        m_standin.setAssetFault("reel 1/picture.mxf", f);
        QNetworkReply *reply = m_http.start(asset("reel 1/picture.mxf"));
        QVERIFY(waitUntil([&] { return reply->bytesAvailable() > 0; }, 5000));
        QTest::qWait(300);
        QVERIFY(!reply->isFinished());
        QVERIFY(reply->bytesAvailable() < 60000);
        m_standin.clearAssetFault("reel 1/picture.mxf");
        const HttpResult r = HttpClient::finish(reply, 3000);
        QVERIFY(r.finished);
        QCOMPARE(r.body, m_big);
    }

    void dropClosesTheConnectionAfterNBytes()
    {
        AssetFault f;
        f.dropAfter = 12345;
        m_standin.setAssetFault("reel 1/picture.mxf", f);
        // curl, not Qt: Qt quietly re-sends a request whose connection closed early.
        QProcess curl;
        curl.start("curl", {"-s", "-H", "Range: bytes=100-", asset("reel 1/picture.mxf").toString(QUrl::FullyEncoded)});
        QVERIFY(curl.waitForFinished(10000));
        QCOMPARE(curl.exitCode(), 18); // partial file: fewer bytes than Content-Length
        QCOMPARE(curl.readAllStandardOutput(), m_big.mid(100, 12345));
        const auto requests = m_standin.assetRequests();
        QCOMPARE(requests.size(), size_t(1));
        QCOMPARE(requests[0].status, 206);
    }

    void flippedByteForTheFirstRequestsThenClean()
    {
        AssetFault f;
        f.flipOffset = 5000;
        f.flipRequests = 2;
        m_standin.setAssetFault("reel 1/picture.mxf", f);
        QByteArray corrupted = m_big;
        corrupted[5000] = static_cast<char>(corrupted[5000] ^ 0xFF);
        // A range that does not cover the byte is served clean and does not count.
        QCOMPARE(m_http.get(asset("reel 1/picture.mxf"), {{"Range", "bytes=6000-"}}).body, m_big.mid(6000));
        QCOMPARE(m_http.get(asset("reel 1/picture.mxf")).body, corrupted);
        QCOMPARE(m_http.get(asset("reel 1/picture.mxf"), {{"Range", "bytes=4000-"}}).body, corrupted.mid(4000));
        QCOMPARE(m_http.get(asset("reel 1/picture.mxf")).body, m_big);
    }

    void ignoreRangeAnswersTheWholeFile()
    {
        AssetFault f;
        f.ignoreRange = true;
        m_standin.setAssetFault("small.bin", f);
        const HttpResult r = m_http.get(asset("small.bin"), {{"Range", "bytes=100-"}});
        QCOMPARE(r.status, 200);
        QCOMPARE(r.body, m_small);
    }

    // A body longer than the file: the file's bytes from the range, then filler.
    void extraBytesLengthenTheBody()
    {
        AssetFault f;
        f.extraBytes = 3000;
        m_standin.setAssetFault("small.bin", f);
        const HttpResult whole = m_http.get(asset("small.bin"));
        QCOMPARE(whole.status, 200);
        QCOMPARE(whole.body, m_small + QByteArray(3000, 'Z'));
        const HttpResult tail = m_http.get(asset("small.bin"), {{"Range", "bytes=100-"}});
        QCOMPARE(tail.status, 206);
        QCOMPARE(tail.body, m_small.mid(100) + QByteArray(3000, 'Z'));
        QCOMPARE(AssetFault::fromJson(f.toJson()).extraBytes, std::uint64_t(3000));
    }

    void controlEndpointChangesFaults()
    {
        const QByteArray body = R"({"path": "small.bin", "status": 404})";
        HttpResult r = m_http.post(url(m_standin, "/_control/asset-fault"), body, "application/json");
        QCOMPARE(r.status, 200);
        QCOMPARE(m_standin.assetFault("small.bin").status, 404);
        QCOMPARE(m_http.get(asset("small.bin")).status, 404);
        r = m_http.post(url(m_standin, "/_control/notification"), R"({"fail_next": 1, "fail_status": 502})",
                        "application/json");
        QCOMPARE(r.status, 200);
        QCOMPARE(m_http.get(url(m_standin, "/notification/dcp?event=1")).status, 502);
        r = m_http.get(url(m_standin, "/_control/notifications"));
        QCOMPARE(QJsonDocument::fromJson(r.body).array().size(), 1);
        const QJsonObject recorded = QJsonDocument::fromJson(r.body).array().at(0).toObject();
        QCOMPARE(recorded["status"].toInt(), 502);
        QCOMPARE(recorded["acknowledged"].toBool(true), false);
        QCOMPARE(m_http.get(url(m_standin, "/notification/dcp?event=2")).status, 200);
        r = m_http.get(url(m_standin, "/_control/notifications"));
        QCOMPARE(QJsonDocument::fromJson(r.body).array().at(1).toObject()["acknowledged"].toBool(false), true);
    }

    void executablePrintsItsBaseUrlFirst()
    {
        const QString configPath = TestSupport::dataDir() + "/standin.json";
        QFile config(configPath);
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(R"({"accounts": [{"username": "u", "password": "p", "key": "0123456789abcdef0123456789abcdef"}],
                         "versioncheck": {"version": 20170700, "description": "d"},
                         "asset_faults": {"small.bin": {"status": 400}}})");
        config.close();
        QProcess process;
        process.start(TestSupport::builtExecutable("tools/portal-standin"),
                      {"--port", "0", "--assets", m_assets, "--config", configPath});
        QVERIFY(process.waitForStarted(5000));
        QVERIFY(waitUntil([&] { return process.canReadLine(); }, 5000));
        const QString base = QString::fromUtf8(process.readLine()).trimmed();
        QVERIFY2(QRegularExpression("^http://127\\.0\\.0\\.1:\\d+$").match(base).hasMatch(), qPrintable(base));
        HttpResult r = m_http.post(QUrl(base + "/authenticate"), "username=u&password=p",
                                   "application/x-www-form-urlencoded");
        QCOMPARE(r.body, QByteArray("0123456789abcdef0123456789abcdef"));
        r = m_http.get(QUrl(base + "/versioncheck"));
        QCOMPARE(QJsonDocument::fromJson(r.body).object()["version"].toInt(), 20170700);
        QCOMPARE(m_http.get(QUrl(base + "/assets/small.bin")).status, 400);
        QCOMPARE(m_http.get(QUrl(base + "/assets/reel%201/picture.mxf")).body, m_big);
        // The executable draws covers with their titles too, without a display.
        const QImage cover = QImage::fromData(m_http.get(QUrl(base + "/assets/reel%201/poster.jpg")).body, "JPG");
        QVERIFY(!cover.isNull());
        QVERIFY2(brightPixels(cover) > 500, "no title drawn on the cover");
        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);

        QProcess help;
        help.start(TestSupport::builtExecutable("tools/portal-standin"), {"--help"});
        QVERIFY(help.waitForFinished(5000));
        const QByteArray text = help.readAllStandardOutput();
        for (const char *option : {"--port", "--assets", "--config", "--notification-log", "/_control/asset-fault"})
            QVERIFY2(text.contains(option), option);
    }
};

TOLVANE_TEST_MAIN(TestPortalStandin)

#include "tst_PortalStandin.moc"
