// Where an asset server may send a download: a redirect is followed to https, or to http
// when the link itself was http, and to nowhere else. The links and their redirects are
// real: the portal stand-in answers on http, a TLS server of the test's own (its
// certificate trusted as the test's only addition) on https.

#include "DownloadFixture.h"

#include "download/AssetTransfer.h"
#include "download/DownloadManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <httplib.h>

#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QtTest>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

using namespace DownloadFixture;

namespace {
const int kStallTimeout = 1500;

// An https server on 127.0.0.1: /files/<name> serves the named file of a folder (ranges
// included), /to/<n> answers 302 to the n-th target given.
class TlsServer
{
public:
    bool start(const QString &certificate, const QString &key, const QString &folder)
    {
        m_server = std::make_unique<httplib::SSLServer>(certificate.toLocal8Bit().constData(),
                                                        key.toLocal8Bit().constData());
        if (!m_server->is_valid())
            return false;
        const std::string root = folder.toStdString();
        m_server->Get(R"(/files/(.+))", [root, this](const httplib::Request &request, httplib::Response &response) {
            ++m_fileRequests;
            std::ifstream in(root + "/" + request.matches[1].str(), std::ios::binary);
            if (!in) {
                response.status = 404;
                return;
            }
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            response.set_content(bytes, "application/octet-stream");
        });
        m_server->Get(R"(/to/(\d+))", [this](const httplib::Request &request, httplib::Response &response) {
            std::lock_guard<std::mutex> lock(m_mutex);
            const size_t index = std::stoul(request.matches[1].str());
            response.status = 302;
            response.set_header("Location", index < m_targets.size() ? m_targets[index] : std::string("/"));
        });
        m_port = m_server->bind_to_any_port("127.0.0.1");
        if (m_port <= 0)
            return false;
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
        return true;
    }

    void stop()
    {
        if (m_server)
            m_server->stop();
        if (m_thread.joinable())
            m_thread.join();
    }

    // The URL that redirects to target.
    QString redirectingTo(const QString &target)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_targets.push_back(target.toStdString());
        return QString("https://127.0.0.1:%1/to/%2").arg(m_port).arg(m_targets.size() - 1);
    }

    QString fileUrl(const QString &name) const { return QString("https://127.0.0.1:%1/files/%2").arg(m_port).arg(name); }
    int fileRequests() const { return m_fileRequests.load(); }

private:
    std::unique_ptr<httplib::SSLServer> m_server;
    std::thread m_thread;
    int m_port = 0;
    std::mutex m_mutex;
    std::vector<std::string> m_targets;
    std::atomic<int> m_fileRequests{0};
};

enum class Link { Http, Https };
enum class Target { HttpFile, HttpsFile, LocalFile, Ftp, Data };
}

Q_DECLARE_METATYPE(Link)
Q_DECLARE_METATYPE(Target)

class TestDownloadRedirects : public QObject
{
    Q_OBJECT

private:
    PortalStandin standin;
    TlsServer tls;
    ScriptedUserInteraction *ui = nullptr;
    DownloadManager *manager = nullptr;
    QString m_served; // the files the TLS server serves
    int m_case = 0;

    QString targetUrl(Target target, const GeneratedDcp &generated, const GeneratedAsset &asset)
    {
        switch (target) {
        case Target::HttpFile:
            return QString::fromStdString(standin.assetUrl(relativePath(generated, asset)));
        case Target::HttpsFile: {
            const QString name = QString("%1-%2").arg(m_case).arg(QFileInfo(asset.relativePath).fileName());
            QFile::remove(m_served + "/" + name);
            QFile::copy(sourcePath(generated, asset), m_served + "/" + name);
            return tls.fileUrl(name);
        }
        case Target::LocalFile:
            return QUrl::fromLocalFile(sourcePath(generated, asset)).toString();
        case Target::Ftp:
            return "ftp://127.0.0.1/" + asset.relativePath;
        case Target::Data:
            return "data:application/octet-stream;base64,AAAA";
        }
        return QString();
    }

private slots:
    void initTestCase()
    {
        ui = new ScriptedUserInteraction();
        manager = startEngine(standin, kStallTimeout);
        const QString folder = TestSupport::dataDir() + "/tls";
        m_served = folder + "/served";
        QVERIFY(QDir().mkpath(m_served));
        QProcess openssl;
        openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                                  "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", folder + "/key.pem", "-out",
                                  folder + "/certificate.pem"});
        QVERIFY(openssl.waitForFinished(60000));
        QCOMPARE(openssl.exitCode(), 0);
        QVERIFY(tls.start(folder + "/certificate.pem", folder + "/key.pem", m_served));
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(QSslCertificate::fromPath(folder + "/certificate.pem"));
        QSslConfiguration::setDefaultConfiguration(configuration);
    }

    void cleanupTestCase() { tls.stop(); }

    void rule_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<bool>("followed");
        QTest::newRow("https to https") << "https://a.example/x" << "https://b.example/y" << true;
        QTest::newRow("http to https") << "http://a.example/x" << "https://b.example/y" << true;
        QTest::newRow("http to http") << "http://a.example/x" << "http://b.example/y" << true;
        QTest::newRow("https to http") << "https://a.example/x" << "http://b.example/y" << false;
        QTest::newRow("http to file") << "http://a.example/x" << "file:///etc/hostname" << false;
        QTest::newRow("https to file") << "https://a.example/x" << "file:///etc/hostname" << false;
        QTest::newRow("http to ftp") << "http://a.example/x" << "ftp://b.example/y" << false;
        QTest::newRow("http to data") << "http://a.example/x" << "data:text/plain,abc" << false;
        QTest::newRow("http to a scheme in capitals") << "HTTP://a.example/x" << "HTTPS://b.example/y" << true;
        QTest::newRow("https to HTTP") << "https://a.example/x" << "HTTP://b.example/y" << false;
        QTest::newRow("http to qrc") << "http://a.example/x" << "qrc:/main.qml" << false;
    }

    void rule()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(bool, followed);
        QCOMPARE(AssetTransfer::mayFollowRedirect(QUrl(from), QUrl(to)), followed);
    }

    void redirectOfAnAssetLink_data()
    {
        QTest::addColumn<Link>("link");
        QTest::addColumn<Target>("target");
        QTest::addColumn<bool>("followed");
        QTest::newRow("http link to http") << Link::Http << Target::HttpFile << true;
        QTest::newRow("http link to https") << Link::Http << Target::HttpsFile << true;
        QTest::newRow("http link to a local file") << Link::Http << Target::LocalFile << false;
        QTest::newRow("http link to ftp") << Link::Http << Target::Ftp << false;
        QTest::newRow("http link to data") << Link::Http << Target::Data << false;
        QTest::newRow("https link to https") << Link::Https << Target::HttpsFile << true;
        QTest::newRow("https link to http") << Link::Https << Target::HttpFile << false;
        QTest::newRow("https link to a local file") << Link::Https << Target::LocalFile << false;
    }

    // The picture's link answers 302. A refused redirect is a failed transfer: nothing is fetched from its target, the asset keeps its link and
    // is not finished, and the log names the target.
    void redirectOfAnAssetLink()
    {
        QFETCH(Link, link);
        QFETCH(Target, target);
        QFETCH(bool, followed);
        ++m_case;
        const GeneratedDcp generated = generate(QString("Redirected_%1").arg(m_case), 1, 300000, 900 + quint64(m_case));
        const GeneratedAsset picture = *generated.asset("picture:1");
        const QString to = targetUrl(target, generated, picture);
        DCP *dcp = buildDcp(standin, generated, 9300 + quint64(m_case));
        Asset *asset = assetOf(dcp, picture);
        QString from;
        if (link == Link::Http) {
            AssetFault fault;
            fault.redirectTo = to.toStdString();
            // The link names its own path: the stand-in redirects that path and serves the target's.
            const std::string redirecting = relativePath(generated, picture) + ".link";
            standin.setAssetFault(redirecting, fault);
            from = QString::fromStdString(standin.assetUrl(redirecting));
        } else {
            from = tls.redirectingTo(to);
        }
        asset->setDownloadUrl(from);
        const int tlsFilesBefore = tls.fileRequests();
        store(dcp);

        if (followed) {
            QVERIFY(waitVerifiedAndSynced(dcp));
            QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
            QCOMPARE(asset->downloadUrl(), to);
            if (target == Target::HttpsFile)
                QVERIFY(tls.fileRequests() > tlsFilesBefore);
        } else {
            const QByteArray line = QString("[DownloadManager] Refusing the redirect to \"%1\" for asset: \"%2\"")
                                        .arg(QUrl(to).toString(), asset->uuid())
                                        .toUtf8();
            // Refused at each try the stall timer makes, never followed.
            QTRY_VERIFY_WITH_TIMEOUT(TestSupport::readLog().count(line) >= 2, 15000);
            QVERIFY(!asset->isDownloadFinished());
            QCOMPARE(asset->downloadUrl(), from);
            QCOMPARE(FileManager::fileSize(asset->filePath()), quint64(0));
            QCOMPARE(tls.fileRequests(), tlsFilesBefore);
            for (const AssetRequest &request : standin.assetRequests())
                QVERIFY(request.path != relativePath(generated, picture));
            manager->removeDownload(dcp);
        }
    }
};

TOLVANE_TEST_MAIN(TestDownloadRedirects)
#include "tst_download_redirects.moc"
