// Symbolic links planted in a destination that other accounts can write to: before the
// import, where the DCP's folder or one of its files will be, and after it, while the DCP
// waits for its turn. Real packages imported through the DCP list, real transfers from the
// portal stand-in, real links on disk. Nothing is ever written through a link: the files of
// the operator's own folder stay as they are, and no file appears where a link points.

#include "DownloadFixture.h"

#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QtTest>

#include <unistd.h>

using namespace DownloadFixture;

namespace {
const int kStallTimeout = 1500;
const QString kDecodingKey = QStringLiteral("tolvane-decoding-key-0123456789abcdef-session");
const QByteArray kNotes = "the operator's own notes, forty bytes..\n";

enum class Planted { DanglingFileLink, LinkToOperatorFile, FolderLink };

bool makeLink(const QString &target, const QString &link)
{
    QDir().mkpath(QFileInfo(link).absolutePath());
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0;
}

QString linkTarget(const QString &link)
{
    return QFileInfo(link).isSymLink() ? QFile::symLinkTarget(link) : QString();
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}
}

Q_DECLARE_METATYPE(Planted)

class TestDownloadLinks : public QObject
{
    Q_OBJECT

private:
    PortalStandin standin;
    ScriptedUserInteraction *ui = nullptr;
    DownloadManager *manager = nullptr;
    int m_case = 0;

    struct Scene {
        GeneratedDcp generated;
        QString destination;
        QString operatorFolder;
        QString notes;      // a file of the operator's, outside the destination
        QString elsewhere;  // where a dangling link points: nothing is there
        QString folder;     // the DCP's folder as the title names it
        QString soundName;  // the sound file's path inside the DCP's folder
    };

    Scene makeScene(const QString &title)
    {
        Scene scene;
        ++m_case;
        scene.generated = generate(QString("%1_%2").arg(title).arg(m_case), 1, 600000, 700 + quint64(m_case));
        scene.destination = TestSupport::dataDir() + QString("/destination-%1").arg(m_case);
        scene.operatorFolder = TestSupport::dataDir() + QString("/operator-%1").arg(m_case);
        QDir().mkpath(scene.destination);
        QDir().mkpath(scene.operatorFolder);
        scene.notes = scene.operatorFolder + "/notes.txt";
        QFile notes(scene.notes);
        if (!notes.open(QIODevice::WriteOnly) || notes.write(kNotes) != kNotes.size())
            qFatal("cannot write the operator's notes");
        notes.close();
        scene.elsewhere = scene.operatorFolder + "/made-by-the-download.mxf";
        scene.folder = scene.destination + "/" + scene.generated.title;
        scene.soundName = scene.generated.asset("sound:1")->relativePath;
        return scene;
    }

    bool importScene(const Scene &scene)
    {
        const QString package = TestSupport::dataDir() + QString("/order-%1.orvdcp").arg(m_case);
        QString error;
        if (!writeOrder(standin, scene.generated, 9100 + m_case, scene.generated.title, package, kDecodingKey, &error)) {
            qWarning() << error;
            return false;
        }
        ui->directoryAnswers = QStringList{scene.destination};
        DCPManager::instance()->loadDCPFromFile(package);
        return DCPManager::instance()->getDCP(scene.generated.cplUuid) != nullptr;
    }

    // Plants the link; for a folder link the DCP's folder (when it exists) moves aside first.
    static bool plant(const Scene &scene, Planted planted)
    {
        switch (planted) {
        case Planted::DanglingFileLink:
            return makeLink(scene.elsewhere, scene.folder + "/" + scene.soundName);
        case Planted::LinkToOperatorFile:
            return makeLink(scene.notes, scene.folder + "/" + scene.soundName);
        case Planted::FolderLink:
            if (QFileInfo::exists(scene.folder) && !QDir().rename(scene.folder, scene.folder + ".moved"))
                return false;
            return makeLink(scene.operatorFolder, scene.folder);
        }
        return false;
    }

    static QString plantedPath(const Scene &scene, Planted planted)
    {
        return planted == Planted::FolderLink ? scene.folder : scene.folder + "/" + scene.soundName;
    }

    static QString plantedTarget(const Scene &scene, Planted planted)
    {
        switch (planted) {
        case Planted::DanglingFileLink:
            return scene.elsewhere;
        case Planted::LinkToOperatorFile:
            return scene.notes;
        case Planted::FolderLink:
            return scene.operatorFolder;
        }
        return QString();
    }

    // The operator's folder holds only their notes, as they were; the link is as planted.
    static bool untouched(const Scene &scene, Planted planted)
    {
        bool ok = true;
        if (readAll(scene.notes) != kNotes) {
            qWarning() << "the operator's notes changed:" << readAll(scene.notes).size() << "bytes";
            ok = false;
        }
        if (filesIn(scene.operatorFolder) != QStringList{"notes.txt"}) {
            qWarning() << "files appeared in the operator's folder:" << filesIn(scene.operatorFolder);
            ok = false;
        }
        if (linkTarget(plantedPath(scene, planted)) != plantedTarget(scene, planted)) {
            qWarning() << "the planted link changed:" << plantedPath(scene, planted);
            ok = false;
        }
        return ok;
    }

private slots:
    void initTestCase()
    {
        ui = new ScriptedUserInteraction();
        manager = startEngine(standin, kStallTimeout);
        DCPManager::instance()->setDecodingKey(kDecodingKey);
    }

    void cleanup()
    {
        ui->messages.clear();
        ui->buttonAnswers.clear();
    }

    void plantedBeforeTheImport_data()
    {
        QTest::addColumn<Planted>("planted");
        QTest::newRow("dangling link where the sound file goes") << Planted::DanglingFileLink;
        QTest::newRow("link to the operator's file where the sound file goes") << Planted::LinkToOperatorFile;
        QTest::newRow("link to the operator's folder where the DCP's folder goes") << Planted::FolderLink;
    }

    // The folder under the title is not the catalogue's: the DCP gets the next free name,
    // downloads there in full, and what was planted stays as it is.
    void plantedBeforeTheImport()
    {
        QFETCH(Planted, planted);
        const Scene scene = makeScene("Planted_Before");
        QVERIFY(plant(scene, planted));
        if (manager->isPaused())
            manager->resumeDownloading();

        QVERIFY(importScene(scene));
        DCP *dcp = DCPManager::instance()->getDCP(scene.generated.cplUuid);
        QCOMPARE(dcp->title(), scene.generated.title + " (2)");
        QVERIFY(waitVerifiedAndSynced(dcp));
        for (Reel *reel : dcp->getReels())
            QVERIFY(filesMatchSource(reel, scene.generated));
        QVERIFY(QFileInfo(scene.folder + " (2)/" + scene.soundName).isFile());
        QVERIFY(untouched(scene, planted));
        QVERIFY(!QFileInfo::exists(scene.elsewhere));
        QVERIFY(TestSupport::readLog().contains(
            QString("Something the catalogue does not know has the name \"%1\"").arg(scene.generated.title).toUtf8()));
        QVERIFY(ui->messages.isEmpty() || ui->messages.first().text.startsWith("Warning: Are you downloading"));
    }

    void plantedWhileTheDcpWaits_data()
    {
        QTest::addColumn<Planted>("planted");
        QTest::newRow("dangling link where the sound file goes") << Planted::DanglingFileLink;
        QTest::newRow("link to the operator's file where the sound file goes") << Planted::LinkToOperatorFile;
        QTest::newRow("link to the operator's folder in place of the DCP's folder") << Planted::FolderLink;
    }

    // The DCP is in the catalogue and waits (downloads paused) when the link appears. Its
    // files are never opened through the link: the downloads pause and the operator is
    // told which file could not be opened.
    void plantedWhileTheDcpWaits()
    {
        QFETCH(Planted, planted);
        const Scene scene = makeScene("Planted_After");
        manager->pauseDownloading(true);
        QVERIFY(importScene(scene));
        DCP *dcp = DCPManager::instance()->getDCP(scene.generated.cplUuid);
        QCOMPARE(dcp->title(), scene.generated.title);
        QVERIFY(QFileInfo(scene.folder).isDir());
        QVERIFY(plant(scene, planted));
        ui->messages.clear();

        manager->resumeDownloading();
        QTRY_VERIFY_WITH_TIMEOUT(!ui->messages.isEmpty(), 20000);
        const UserInteraction::Message box = ui->messages.first();
        QCOMPARE(box.text, QString("Unable to write the download"));
        // The file refused: the sound file behind its link, or the first file the engine
        // takes on when the whole folder is a link.
        Asset *refusedAsset = nullptr;
        for (Asset *asset : dcp->getAssets()) {
            if (box.informativeText.startsWith(QString("The file %1 could not be opened for writing, so we paused your "
                                                       "download.").arg(asset->filePath())))
                refusedAsset = asset;
        }
        QVERIFY2(refusedAsset, qPrintable(box.informativeText));
        if (planted != Planted::FolderLink)
            QCOMPARE(refusedAsset->originalFilename(), QFileInfo(scene.soundName).fileName());
        QVERIFY(manager->isPaused());
        QVERIFY(!refusedAsset->isDownloadFinished());
        QVERIFY(untouched(scene, planted));
        QVERIFY(!QFileInfo::exists(scene.elsewhere));
        // Asked again, the engine refuses again; the link still stands and nothing passed it.
        ui->messages.clear();
        manager->resumeDownloading();
        QTRY_VERIFY_WITH_TIMEOUT(!ui->messages.isEmpty(), 20000);
        QVERIFY(untouched(scene, planted));

        manager->removeDownload(dcp);
    }
};

TOLVANE_TEST_MAIN(TestDownloadLinks)
#include "tst_download_links.moc"
