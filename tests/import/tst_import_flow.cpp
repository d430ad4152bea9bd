#include "CatalogueCheck.h"
#include "ImportFixtures.h"

#include "base/PortalHosts.h"
#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/FileManager.h"
#include "import/DCPXMLReader.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlQuery>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QJsonArray>
#include <QtTest>

#include <stdexcept>

using Button = UserInteraction::Button;
using Icon = UserInteraction::Icon;
using Message = UserInteraction::Message;

Q_DECLARE_METATYPE(Button)

using CatalogueCheck::rowCount;

namespace {

const QString redownload = "Would you like to redownload the file now?";
const QString decodeFailedText = "Could not decode the content of ORVDCP file. File might be damaged or its content "
                                 "missing. Please redownload the file from Tarn.";
const QString packageOutdatedText =
    "Your ORVDCP file is out of date. Unfortunately an update is required in order to load this DCP.";
const QString softwareOutdatedText =
    "Your software is out of date. Unfortunately an update is required in order to load the DCP.";
const QString dataMissingText =
    "Main data in the ORVDCP missing. File might be damaged. Please redownload the file from Tarn.";
const QString noReelsText = "No reels detected in ORVDCP file. Select at least one reel to download. Please "
                            "redownload the file from Tarn.";
const QString localDriveText = "Warning: Are you downloading to your local hard drive?";
const QString localDriveInformative =
    "This is not recommended practice as it will require you to transfer your DCP to your server or an external hard "
    "drive at a later time.\r\n\r\nThis transfer can cause damage to the DCP content and it may fail to "
    "ingest.\r\n\r\nIt is better to download either directly to your server or to a USB hard drive which you can then "
    "use to ingest from after the download is complete.\r\n\r\nIf you wish to download locally we recommend the "
    "software FastCopy to transfer your content. It can be found via Google and it's free to use.";
const QString folderCaption = "Select download location for your DCP";
const QByteArray rebuildLine = "[DCPXMLReader] Asking the download manager to rebuild its queue";

bool onFixedDisk(const QString &folder)
{
    return FileManager::isFixedDrive(FileManager::driveRoot(folder));
}

bool sameMessage(const Message &m, Icon icon, const QString &text, const QString &informative,
                 UserInteraction::Buttons buttons, Button defaultButton)
{
    const bool same = m.icon == icon && m.text == text && m.informativeText == informative && m.buttons == buttons
        && m.defaultButton == defaultButton;
    if (!same)
        qWarning().noquote() << "box was:" << int(m.icon) << m.text << "|" << m.informativeText << "|"
                             << int(m.buttons) << int(m.defaultButton);
    return same;
}

bool isRefusal(const Message &m, const QString &explanation, const QString &question = redownload)
{
    return sameMessage(m, Icon::Warning, question, explanation, UserInteraction::Yes | UserInteraction::No,
                       UserInteraction::Yes);
}

bool isLocalDriveWarning(const Message &m)
{
    return sameMessage(m, Icon::Warning, localDriveText, localDriveInformative,
                       UserInteraction::Ok | UserInteraction::Cancel, UserInteraction::Ok);
}

bool isMergeNotice(const Message &m, const QString &friendlyTitle)
{
    return sameMessage(m, Icon::NoIcon, QString("The DCP %1 already exist and will be merged.").arg(friendlyTitle),
                       QString(), UserInteraction::Ok, UserInteraction::NoButton);
}

using Fixtures::withoutLocalWarnings;

int assetRows(const QString &dcpUuid)
{
    return rowCount("SELECT COUNT(*) FROM asset WHERE dcp_uuid = ?", dcpUuid);
}

int reelRows(const QString &dcpUuid)
{
    return rowCount("SELECT COUNT(*) FROM reel WHERE dcp_uuid = ?", dcpUuid);
}

bool import(const QString &path, const QString &key = Fixtures::decodingKey())
{
    DCPXMLReader reader(key);
    return reader.loadPackage(path);
}

// Imports the package into destination, answering OK to a local-drive warning and No to
// the next box; boxes gets the boxes besides that warning. Whether the import ran through.
bool importAnsweringNo(const QJsonObject &json, const QString &destination, QList<Message> &boxes)
{
    ScriptedUserInteraction ui;
    ui.directoryAnswers = QStringList{destination};
    ui.buttonAnswers = {UserInteraction::Ok, UserInteraction::No};
    if (!onFixedDisk(destination))
        ui.buttonAnswers.removeFirst();
    const bool imported = import(Fixtures::writePackage(json));
    boxes = withoutLocalWarnings(ui.messages);
    return imported;
}

}

class TestImportFlow : public QObject
{
    Q_OBJECT

    GeneratedDcp m_small; // a one-reel DCP most refusals use
    QJsonObject m_smallJson;

    bool makeSmall()
    {
        return Fixtures::smallDcpPackage("Small Feature", m_small, m_smallJson);
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        QVERIFY(DatabaseManager::instance());
        QVERIFY(DCPManager::instance());
        QVERIFY(makeSmall());
    }

    void fileUrlForms_data()
    {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<bool>("opens");
        QTest::newRow("plain path") << QString() << true;
        QTest::newRow("file URL, three slashes") << QString("file://") << true;
        QTest::newRow("file URL, one slash") << QString("file:") << true;
        QTest::newRow("upper-case scheme") << QString("FILE://") << false;
    }

    void fileUrlForms()
    {
        QFETCH(QString, prefix);
        QFETCH(bool, opens);
        // A version from the future stops every opened package at the first check.
        const QString path = Fixtures::writePackage(mergeJson(m_smallJson, QJsonObject{{"version", 20991231}}));
        QVERIFY(path.startsWith('/'));
        ScriptedUserInteraction ui;
        ui.buttonAnswers = {UserInteraction::No};
        QVERIFY(!import(prefix + path));
        QCOMPARE(ui.messages.size(), 1);
        if (opens) {
            QVERIFY(isRefusal(ui.messages[0], softwareOutdatedText, "Would you like to download new version?"));
        } else {
            QVERIFY(sameMessage(ui.messages[0], Icon::Warning, "Could not open the ORVDCP file.",
                                "Please check to see if you have read permission for the file.", UserInteraction::Ok,
                                UserInteraction::NoButton));
            QVERIFY(TestSupport::readLog().contains(
                ("[DCPXMLReader] Could not open JSON package:  \"" + QDir::cleanPath(prefix + path) + "\"\r\n").toUtf8()));
        }
        QVERIFY(ui.openedUrls.isEmpty());
        QVERIFY(ui.directoryCaptions.isEmpty());
    }

    void missingFileCannotBeOpened()
    {
        ScriptedUserInteraction ui;
        const QString path = TestSupport::dataDir() + "/no-such-package.orvdcp";
        QVERIFY(!import(path));
        QCOMPARE(ui.messages.size(), 1);
        QCOMPARE(ui.messages[0].text, QString("Could not open the ORVDCP file."));
        QVERIFY(TestSupport::readLog().contains(
            ("[DCPXMLReader] Could not open JSON package:  \"" + path + "\"\r\n").toUtf8()));
    }

    void refusals_data()
    {
        QTest::addColumn<QJsonObject>("json");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("explanation");
        QTest::addColumn<QString>("question");
        QTest::addColumn<QString>("urlPath");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<bool>("asksDestination");

        const QString key = Fixtures::decodingKey();
        const QJsonObject json = m_smallJson;
        const QString uuid36 = "5d0c43f6-7e1a-4c57-9a8e-2f1b6f0d3c21";
        QTest::newRow("version below") << mergeJson(json, {{"version", 20170612}}) << key << packageOutdatedText
                                       << redownload << "/" << QString() << false;
        QTest::newRow("version missing") << mergeJson(json, {{"version", QJsonValue::Null}}) << key
                                         << packageOutdatedText << redownload << "/" << QString() << false;
        QTest::newRow("version as text") << mergeJson(json, {{"version", "20170613"}}) << key << packageOutdatedText
                                         << redownload << "/" << QString() << false;
        QTest::newRow("version above") << mergeJson(json, {{"version", 20170614}}) << key << softwareOutdatedText
                                       << "Would you like to download new version?"
                                       << "/updates" << QString() << false;
        QTest::newRow("version negative") << mergeJson(json, {{"version", -1}}) << key << softwareOutdatedText
                                          << "Would you like to download new version?"
                                          << "/updates" << QString() << false;
        QTest::newRow("user uuid 35") << mergeJson(json, {{"user_uuid", uuid36.left(35)}}) << key << dataMissingText
                                      << redownload << "/" << "[DCPXMLReader] No User UUID found, aborting..."
                                      << false;
        QTest::newRow("user uuid 37") << mergeJson(json, {{"user_uuid", uuid36 + "0"}}) << key << dataMissingText
                                      << redownload << "/" << "[DCPXMLReader] No User UUID found, aborting..."
                                      << false;
        QTest::newRow("wrong key") << json << QString("another-key-0123456789abcdef01234567") << decodeFailedText
                                   << redownload << "/" << "[DCPXMLReader] Cannot parse the JSON package:  \"" << false;
        QTest::newRow("key of 31 bytes") << json << key.left(31) << decodeFailedText << redownload << "/"
                                         << "[DCPXMLReader] Decoding key is shorter than 32 bytes, aborting..."
                                         << false;
        QTest::newRow("key cut by a zero byte")
            << json << key.left(20) + QChar(0) + key.mid(20) << decodeFailedText << redownload << "/"
            << "[DCPXMLReader] Decoding key is shorter than 32 bytes, aborting..." << false;
        // A package names its DCPs in an array; anything else is damaged.
        for (const auto &dcps : {qMakePair(QString("dcps missing"), QJsonValue(QJsonValue::Undefined)),
                                 qMakePair(QString("dcps null"), QJsonValue(QJsonValue::Null)),
                                 qMakePair(QString("dcps as an object"), QJsonValue(QJsonObject{{"0", 1}})),
                                 qMakePair(QString("dcps as text"), QJsonValue("[]")),
                                 qMakePair(QString("dcps empty"), QJsonValue(QJsonArray()))}) {
            QJsonObject bent = json;
            if (dcps.second.isUndefined())
                bent.remove("dcps");
            else
                bent.insert("dcps", dcps.second);
            QTest::newRow(qPrintable(dcps.first)) << bent << key << dataMissingText << redownload << "/"
                                                  << "[DCPXMLReader] Missing Data, aborting..." << false;
        }
        QTest::newRow("campaign id as text")
            << Fixtures::withDcpValue(json, 0, "campaign_dcp_id", "1001") << key << dataMissingText << redownload
            << "/" << "[DCPXMLReader] No Campaign DCP ID found, aborting..." << true;
        QTest::newRow("campaign id zero")
            << Fixtures::withDcpValue(json, 0, "campaign_dcp_id", 0) << key << dataMissingText << redownload << "/"
            << "[DCPXMLReader] No Campaign DCP ID found, aborting..." << true;
        QTest::newRow("no reels") << Fixtures::withDcpValue(json, 0, "reels", QJsonArray()) << key << noReelsText
                                  << redownload << "/" << "[DCPXMLReader] No Reel(s) selected, aborting..." << true;
        QTest::newRow("no image url") << Fixtures::withDcpValue(json, 0, "dcp_image_url", "") << key
                                      << dataMissingText << redownload << "/"
                                      << "[DCPXMLReader] Missing Data, aborting..." << true;
        QTest::newRow("volindex missing") << Fixtures::withDcpValue(json, 0, "volindex_xml", QJsonValue::Null) << key
                                          << dataMissingText << redownload << "/"
                                          << "[DCPXMLReader] Missing Data, aborting..." << true;
        QTest::newRow("CPL not XML") << Fixtures::withDcpValue(json, 0, "cpl_xml", QString("PE5vdCBYTUw="))
                                     << key << dataMissingText << redownload << "/"
                                     << "[DCPXMLReader] One of the XML assets could not be parsed, aborting..."
                                     << true;
        // Documents that would exhaust the parser are a damaged package too.
        const QString cpl = Fixtures::documentOf(json, 0, "cpl_xml");
        const int root = cpl.indexOf("<CompositionPlaylist");
        const QString expanded = cpl.left(root) + "<!DOCTYPE CompositionPlaylist [<!ENTITY big \"" + QString(10000, 'x')
            + "\">]>" + cpl.mid(root).replace("</AnnotationText>", QString("&big;").repeated(10000) + "</AnnotationText>");
        QTest::newRow("CPL with an entity expansion")
            << Fixtures::withDcpValue(json, 0, "cpl_xml", QString::fromLatin1(expanded.toUtf8().toBase64())) << key
            << dataMissingText << redownload << "/" << "[DCPXMLReader] Refusing an XML document: \"it declares a DTD\""
            << true;
        const QString deep = QString(cpl).replace("</ReelList>", QString("<Reel>").repeated(50000)
                                                                   + QString("</Reel>").repeated(50000) + "</ReelList>");
        QTest::newRow("CPL with 50,000 nested elements")
            << Fixtures::withDcpValue(json, 0, "cpl_xml", QString::fromLatin1(deep.toUtf8().toBase64())) << key
            << dataMissingText << redownload << "/"
            << "[DCPXMLReader] Refusing an XML document: \"elements nested deeper than 64\"" << true;
    }

    void refusals()
    {
        QFETCH(QJsonObject, json);
        QFETCH(QString, key);
        QFETCH(QString, explanation);
        QFETCH(QString, question);
        QFETCH(QString, urlPath);
        QFETCH(QString, logLine);
        QFETCH(bool, asksDestination);

        const QString path = Fixtures::writePackage(json);
        QVERIFY(!path.isEmpty());
        const QString destination = Fixtures::uniqueDir("refusal");
        const QByteArray logBefore = TestSupport::readLog();
        ScriptedUserInteraction ui;
        ui.directoryAnswers = QStringList{destination};
        QVERIFY(!import(path, key));

        const QList<Message> boxes = withoutLocalWarnings(ui.messages);
        QCOMPARE(boxes.size(), 1);
        QVERIFY(isRefusal(boxes[0], explanation, question));
        // The default answer is Yes, which opens the portal page of the case.
        QCOMPARE(ui.openedUrls, (QList<QUrl>{PortalHosts::portalUrl(urlPath)}));
        QCOMPARE(ui.directoryCaptions.size(), asksDestination ? 1 : 0);
        if (!logLine.isEmpty())
            QVERIFY(TestSupport::readLog().mid(logBefore.size()).contains(logLine.toUtf8()));
        QVERIFY(!DCPManager::instance()->getDCP(m_small.cplUuid));
        QVERIFY(QDir(destination).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    }

    void refusalAnsweredNoOpensNothing()
    {
        const QString path = Fixtures::writePackage(mergeJson(m_smallJson, {{"version", 20170614}}));
        ScriptedUserInteraction ui;
        ui.buttonAnswers = {UserInteraction::No};
        QVERIFY(!import(path));
        QCOMPARE(ui.messages.size(), 1);
        QVERIFY(ui.openedUrls.isEmpty());
    }

    void emptyKeyIsRefusedBeforeOpening()
    {
        DCPManager *manager = DCPManager::instance();
        const QString key = manager->decodingKey();
        manager->setDecodingKey(QString());
        ScriptedUserInteraction ui;
        bool thrown = false;
        try {
            manager->importPackage(TestSupport::dataDir() + "/no-such-package.orvdcp");
        } catch (const std::runtime_error &error) {
            thrown = QString(error.what()) == "Can not load DCP when decoding key is empty";
        }
        manager->setDecodingKey(key);
        QVERIFY(thrown);
        QVERIFY(ui.messages.isEmpty());
    }

    void loadDCPFromFileImports()
    {
        GeneratedDcp dcp;
        QJsonObject json;
        QVERIFY(Fixtures::smallDcpPackage("Through The Manager", dcp, json));
        const QString path = Fixtures::writePackage(json);
        const QString destination = Fixtures::uniqueDir("manager");

        DCPManager *manager = DCPManager::instance();
        manager->setDecodingKey(Fixtures::decodingKey());
        ScriptedUserInteraction ui;
        ui.directoryAnswers = QStringList{destination};
        manager->loadDCPFromFile(QString()); // an empty path does nothing
        QVERIFY(ui.directoryCaptions.isEmpty());
        manager->loadDCPFromFile("file://" + path);
        QCOMPARE(ui.directoryCaptions, QStringList{folderCaption});
        DCP *stored = manager->getDCP(dcp.cplUuid);
        QVERIFY(stored);
        QCOMPARE(stored->downloadPath(), destination);
        QCOMPARE(stored->title(), QString("Through The Manager"));
        QCOMPARE(stored->friendlyTitle(), QString("Through The Manager"));
        QCOMPARE(stored->campaignDcpId(), quint64(1001));
        QCOMPARE(stored->userUuid(), QString("5d0c43f6-7e1a-4c57-9a8e-2f1b6f0d3c21"));
        QCOMPARE(stored->imageUrl(), QString("https://assets.example.invalid/Through%20The%20Manager/poster.jpg"));
        QCOMPARE(assetRows(dcp.cplUuid), 2);
        QCOMPARE(reelRows(dcp.cplUuid), 1);
        QVERIFY(manager->shownDCPs().contains(stored));
    }

    void cancelledFolderDialogEndsTheImport()
    {
        const QString path = Fixtures::writePackage(m_smallJson);
        ScriptedUserInteraction ui; // no folder answer: the dialog is cancelled
        QVERIFY(!import(path));
        QCOMPARE(ui.directoryCaptions, QStringList{folderCaption});
        QVERIFY(ui.messages.isEmpty());
        QVERIFY(TestSupport::readLog().contains(
            "[DCPXMLReader] Canceled importing dcp (user did not select any download location)"));
        QVERIFY(!DCPManager::instance()->getDCP(m_small.cplUuid));
    }

    void fatFileSystems_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("refused");
        QTest::newRow("vfat") << "vfat" << true;
        QTest::newRow("fat32") << "FAT32" << true;
        QTest::newRow("fat") << "fat" << true;
        QTest::newRow("msdos") << "msdos" << true;
        QTest::newRow("fuse.fusefat") << "fuse.fusefat" << true;
        QTest::newRow("exfat") << "exfat" << false;
        QTest::newRow("ntfs3") << "ntfs3" << false;
        QTest::newRow("fuseblk (ntfs-3g)") << "fuseblk" << false;
        QTest::newRow("ext4") << "ext4" << false;
    }

    void fatFileSystems()
    {
        QFETCH(QString, type);
        QFETCH(bool, refused);
        ScriptedUserInteraction ui;
        DCPXMLReader reader(Fixtures::decodingKey());
        QCOMPARE(reader.checkFatFileSystemType(type), refused);
        if (refused) {
            QCOMPARE(ui.messages.size(), 1);
            QVERIFY(sameMessage(ui.messages[0], Icon::Warning, "FAT32 Hard drive not supported",
                                "Please make sure your drive is NTFS.", UserInteraction::Ok,
                                UserInteraction::NoButton));
        } else {
            QVERIFY(ui.messages.isEmpty());
        }
    }

    void realDestinationIsNotFat()
    {
        ScriptedUserInteraction ui;
        DCPXMLReader reader(Fixtures::decodingKey());
        QVERIFY(!reader.checkFatDrive(TestSupport::dataDir()));
        QVERIFY(ui.messages.isEmpty());
    }

    void localDriveWarning_data()
    {
        QTest::addColumn<Button>("answer");
        QTest::newRow("OK goes on") << UserInteraction::Ok;
        QTest::newRow("Cancel ends the import") << UserInteraction::Cancel;
    }

    void localDriveWarning()
    {
        QFETCH(Button, answer);
        const QString destination = Fixtures::uniqueDir("local");
        if (!onFixedDisk(destination))
            QSKIP("the test directory is not on a fixed local disk here");
        GeneratedDcp dcp;
        QJsonObject json;
        QVERIFY(Fixtures::smallDcpPackage("Local Drive", dcp, json));
        ScriptedUserInteraction ui;
        ui.directoryAnswers = QStringList{destination};
        ui.buttonAnswers = {answer};
        const bool imported = import(Fixtures::writePackage(json));
        QCOMPARE(ui.messages.size(), 1);
        QVERIFY(isLocalDriveWarning(ui.messages[0]));
        if (answer == UserInteraction::Cancel) {
            QVERIFY(!imported);
            const QByteArray log = TestSupport::readLog();
            QVERIFY(log.contains("[DCPXMLReader] Canceled importing dcp to local hard drive."));
            QVERIFY(log.contains(
                ("[DCPXMLReader] Canceled importing dcp (local hard drive rejected by user)  \"" + destination + "\"\r\n")
                    .toUtf8()));
            QVERIFY(!DCPManager::instance()->getDCP(dcp.cplUuid));
            QVERIFY(!QFileInfo::exists(destination + "/Local Drive"));
        } else {
            QVERIFY(imported);
            QVERIFY(DCPManager::instance()->getDCP(dcp.cplUuid));
        }
    }

    void diskSpaceBoundary_data()
    {
        QTest::addColumn<qint64>("projectSize");
        QTest::addColumn<qint64>("available");
        QTest::addColumn<Button>("answer");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("continues");
        QTest::newRow("equal, No") << qint64(1000) << qint64(1000) << UserInteraction::No << true << false;
        QTest::newRow("equal, Yes") << qint64(1000) << qint64(1000) << UserInteraction::Yes << true << true;
        QTest::newRow("one byte less") << qint64(999) << qint64(1000) << UserInteraction::No << false << true;
        QTest::newRow("more") << qint64(1001) << qint64(1000) << UserInteraction::No << true << false;
        QTest::newRow("above 2^32") << (qint64(1) << 33) << (qint64(1) << 33) << UserInteraction::No << true << false;
    }

    void diskSpaceBoundary()
    {
        QFETCH(qint64, projectSize);
        QFETCH(qint64, available);
        QFETCH(Button, answer);
        QFETCH(bool, asked);
        QFETCH(bool, continues);
        ScriptedUserInteraction ui;
        ui.buttonAnswers = {answer};
        DCPXMLReader reader(Fixtures::decodingKey());
        QCOMPARE(reader.confirmDiskSpace(projectSize, available), continues);
        QCOMPARE(ui.messages.size(), asked ? 1 : 0);
        if (asked)
            QVERIFY(sameMessage(ui.messages[0], Icon::Warning, "Not enough disk space",
                                "You don't have enough disk space to download full DCP.\r\n\r\nDo you want to "
                                "continue anyway?",
                                UserInteraction::Yes | UserInteraction::No, UserInteraction::No));
    }

    void diskSpaceOfTheRealDestination_data()
    {
        QTest::addColumn<QJsonValue>("projectSize");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<QString>("logged");
        QTest::newRow("far above the free space") << QJsonValue(double(qint64(1) << 60)) << true
                                                  << QString::number(qint64(1) << 60);
        QTest::newRow("numeric text") << QJsonValue("123") << false << "123";
        QTest::newRow("not a number") << QJsonValue("lots") << false << "0";
        QTest::newRow("fraction rounds") << QJsonValue(41.6) << false << "42";
    }

    void diskSpaceOfTheRealDestination()
    {
        QFETCH(QJsonValue, projectSize);
        QFETCH(bool, asked);
        QFETCH(QString, logged);
        const QString destination = Fixtures::uniqueDir("space");
        // A DCP without reels stops the import right after the destination checks.
        QJsonObject json = Fixtures::withDcpValue(m_smallJson, 0, "reels", QJsonArray());
        json.insert("project_size", projectSize);
        const QByteArray logBefore = TestSupport::readLog();
        QList<Message> boxes;
        QVERIFY(!importAnsweringNo(json, destination, boxes));
        const QByteArray log = TestSupport::readLog().mid(logBefore.size());
        QVERIFY(log.contains(("[DCPXMLReader] Project size:  " + logged + "\r\n").toUtf8()));
        QVERIFY(QRegularExpression("\\[DCPXMLReader\\] Available Disk space:  -?[0-9]+\r\n")
                    .match(QString::fromUtf8(log))
                    .hasMatch());
        QCOMPARE(boxes.size(), 1);
        if (asked) {
            QCOMPARE(boxes[0].text, QString("Not enough disk space"));
            QVERIFY(log.contains(
                ("[DCPXMLReader] Canceled importing dcp (not enough space on disk, aborted by user)  \"" + destination
                 + "\"\r\n")
                    .toUtf8()));
        } else {
            QVERIFY(isRefusal(boxes[0], noReelsText)); // went on to the DCPs
        }
    }

    void projectSizeIsReadFromTheTopLevel()
    {
        QJsonObject json = Fixtures::withDcpValue(m_smallJson, 0, "reels", QJsonArray());
        json.remove("project_size");
        json = Fixtures::withDcpValue(json, 0, "project_size", double(qint64(1) << 60));
        const QByteArray logBefore = TestSupport::readLog();
        ScriptedUserInteraction ui;
        ui.directoryAnswers = QStringList{Fixtures::uniqueDir("space")};
        QVERIFY(!import(Fixtures::writePackage(json)));
        QVERIFY(TestSupport::readLog().mid(logBefore.size()).contains("[DCPXMLReader] Project size:  0\r\n"));
        QCOMPARE(withoutLocalWarnings(ui.messages).size(), 1);
        QVERIFY(isRefusal(withoutLocalWarnings(ui.messages)[0], noReelsText));
    }

    void secondDcpWithoutReelsKeepsTheFirst()
    {
        GeneratedDcp first, second;
        QVERIFY(Fixtures::smallDcp("First Of Two", first));
        QVERIFY(Fixtures::smallDcp("Second Of Two", second));
        QJsonObject json;
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(first), Fixtures::dcpOptions(second)}, json));
        json = Fixtures::withDcpValue(json, 1, "reels", QJsonArray());
        ScriptedUserInteraction ui;
        ui.directoryAnswers = QStringList{Fixtures::uniqueDir("two")};
        QVERIFY(!import(Fixtures::writePackage(json)));
        const QList<Message> boxes = withoutLocalWarnings(ui.messages);
        QCOMPARE(boxes.size(), 1);
        QVERIFY(isRefusal(boxes[0], noReelsText));
        QVERIFY(DCPManager::instance()->getDCP(first.cplUuid));
        QVERIFY(!DCPManager::instance()->getDCP(second.cplUuid));
        QCOMPARE(assetRows(first.cplUuid), 2);
    }

    void knownDcpsAndTheDestination()
    {
        GeneratedDcp a, b;
        QVERIFY(Fixtures::smallDcp("Known One", a));
        QVERIFY(Fixtures::smallDcp("Known Two", b));
        const QString firstDestination = Fixtures::uniqueDir("known-a");
        const QString secondDestination = Fixtures::uniqueDir("known-b");
        QJsonObject onlyA, both;
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(a)}, onlyA));
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(a), Fixtures::dcpOptions(b)}, both));
        {
            ScriptedUserInteraction ui;
            ui.directoryAnswers = QStringList{firstDestination};
            QVERIFY(import(Fixtures::writePackage(onlyA)));
        }
        {
            // One known, one new: the folder is asked once, for the new one.
            ScriptedUserInteraction ui;
            ui.directoryAnswers = QStringList{secondDestination, Fixtures::uniqueDir("never")};
            QVERIFY(import(Fixtures::writePackage(both)));
            QCOMPARE(ui.directoryCaptions.size(), 1);
            const QList<Message> boxes = withoutLocalWarnings(ui.messages);
            QCOMPARE(boxes.size(), 1);
            QVERIFY(isMergeNotice(boxes[0], "Known One"));
            QCOMPARE(DCPManager::instance()->getDCP(a.cplUuid)->downloadPath(), firstDestination);
            QCOMPARE(DCPManager::instance()->getDCP(b.cplUuid)->downloadPath(), secondDestination);
        }
        {
            // Both known: no folder, both merged with their box, nothing new, no rebuild.
            const int rebuilds = Fixtures::countLines(TestSupport::readLog(), rebuildLine);
            ScriptedUserInteraction ui;
            QVERIFY(import(Fixtures::writePackage(both)));
            QVERIFY(ui.directoryCaptions.isEmpty());
            QCOMPARE(ui.messages.size(), 2);
            QVERIFY(isMergeNotice(ui.messages[0], "Known One"));
            QVERIFY(isMergeNotice(ui.messages[1], "Known Two"));
            const QByteArray log = TestSupport::readLog();
            QVERIFY(log.contains(("[DCPXMLReader] DCP exists.. Trying to merge...  \"" + a.cplUuid + "\"\r\n").toUtf8()));
            QVERIFY(log.contains(("[DCPXMLReader] DCP exists.. Trying to merge...  \"" + b.cplUuid + "\"\r\n").toUtf8()));
            QCOMPARE(Fixtures::countLines(log, rebuildLine), rebuilds);
            QCOMPARE(assetRows(a.cplUuid), 2);
            QCOMPARE(assetRows(b.cplUuid), 2);
        }
    }

    void mergeAddsOnlyNewReels()
    {
        DcpGeneratorOptions options;
        options.title = "Three Reels";
        options.reels = 3;
        options.totalSize = 3 * 4096;
        GeneratedDcp dcp;
        QVERIFY(Fixtures::generate(options, dcp));
        QJsonObject first, second;
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(dcp, {1, 2})}, first));
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(dcp, {2, 3})}, second));
        {
            ScriptedUserInteraction ui;
            ui.directoryAnswers = QStringList{Fixtures::uniqueDir("merge")};
            QVERIFY(import(Fixtures::writePackage(first)));
        }
        DCP *stored = DCPManager::instance()->getDCP(dcp.cplUuid);
        QVERIFY(stored);
        QCOMPARE(stored->getReels().size(), 2);
        Reel *reel2 = stored->getReel(dcp.reelUuids[1]);
        QVERIFY(reel2);
        const QList<Asset *> reel2Assets = reel2->getAssets();

        const int rebuilds = Fixtures::countLines(TestSupport::readLog(), rebuildLine);
        ScriptedUserInteraction ui;
        QVERIFY(import(Fixtures::writePackage(second)));
        QCOMPARE(ui.messages.size(), 1);
        QVERIFY(isMergeNotice(ui.messages[0], "Three Reels"));
        QVERIFY(ui.directoryCaptions.isEmpty());
        const QByteArray log = TestSupport::readLog();
        QVERIFY(log.contains(("[DCPXMLREADER] Merging Reel...  \"" + dcp.reelUuids[2] + "\"\r\n").toUtf8()));
        QVERIFY(!log.contains(("[DCPXMLREADER] Merging Reel...  \"" + dcp.reelUuids[1]).toUtf8()));
        QCOMPARE(Fixtures::countLines(log, rebuildLine), rebuilds + 1);

        QCOMPARE(stored->getReels().size(), 3);
        QCOMPARE(stored->getReel(dcp.reelUuids[1]), reel2);
        QCOMPARE(reel2->getAssets(), reel2Assets);
        Reel *reel3 = stored->getReel(dcp.reelUuids[2]);
        QVERIFY(reel3);
        QCOMPARE(reel3->getDCP(), stored);
        QCOMPARE(reel3->reelNumber(), quint32(3));
        QCOMPARE(reel3->getAssets().size(), 2);
        for (Asset *asset : reel3->getAssets()) {
            QCOMPARE(asset->dcp(), stored);
            QCOMPARE(stored->getAsset(asset->uuid()), asset);
            QCOMPARE(DCPManager::instance()->getAsset(asset->uuid(), dcp.cplUuid), asset);
            QCOMPARE(DCPManager::instance()->allAssets().count(asset), 1);
        }
        QCOMPARE(DCPManager::instance()->getReel(dcp.reelUuids[2]), reel3);
        QCOMPARE(reelRows(dcp.cplUuid), 3);
        QCOMPARE(assetRows(dcp.cplUuid), 6);
        QCOMPARE(rowCount("SELECT COUNT(*) FROM dcp_reel_asset WHERE reel_uuid = ?", dcp.reelUuids[2]), 2);

        // The same package again merges nothing and leaves the queue alone.
        ScriptedUserInteraction again;
        QVERIFY(import(Fixtures::writePackage(second)));
        QCOMPARE(again.messages.size(), 1);
        QVERIFY(isMergeNotice(again.messages[0], "Three Reels"));
        QCOMPARE(Fixtures::countLines(TestSupport::readLog(), rebuildLine), rebuilds + 1);
        QCOMPARE(stored->getReels().size(), 3);
        QCOMPARE(assetRows(dcp.cplUuid), 6);
    }

    // A newly ordered reel that names an asset the catalogue already has through another
    // reel lists that same object, with a link row of its own, so it survives a restart.
    void mergedReelSharingAnAssetKeepsOneObject()
    {
        DcpGeneratorOptions options;
        options.title = "Shared Sound";
        options.reels = 3;
        options.totalSize = 3 * 4096;
        GeneratedDcp dcp;
        QVERIFY(Fixtures::generate(options, dcp));
        const QString sound2 = dcp.asset("sound:2")->uuid;
        const QString sound3 = dcp.asset("sound:3")->uuid;
        // Reel 3 plays reel 2's sound track.
        auto shareSound = [&](QJsonObject json) {
            QJsonArray dcps = json.value("dcps").toArray();
            QJsonObject entry = dcps.at(0).toObject();
            QByteArray cpl = QByteArray::fromBase64(entry.value("cpl_xml").toString().toUtf8());
            cpl.replace(sound3.toUtf8(), sound2.toUtf8());
            entry.insert("cpl_xml", QString::fromLatin1(cpl.toBase64()));
            dcps.replace(0, entry);
            json.insert("dcps", dcps);
            return json;
        };
        QJsonObject first, second;
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(dcp, {1, 2})}, first));
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(dcp, {2, 3})}, second));
        {
            ScriptedUserInteraction ui;
            ui.directoryAnswers = QStringList{Fixtures::uniqueDir("shared-merge")};
            QVERIFY(import(Fixtures::writePackage(shareSound(first))));
        }
        DCP *stored = DCPManager::instance()->getDCP(dcp.cplUuid);
        QVERIFY(stored);
        Asset *sound = DCPManager::instance()->getAsset(sound2, dcp.cplUuid);
        QVERIFY(sound);

        ScriptedUserInteraction ui;
        QVERIFY(import(Fixtures::writePackage(shareSound(second))));
        Reel *reel3 = stored->getReel(dcp.reelUuids[2]);
        QVERIFY(reel3);
        QCOMPARE(reel3->getAssets().size(), 2);
        QVERIFY(reel3->getAssets().contains(sound));
        QVERIFY(sound->reels().contains(reel3));
        QVERIFY(sound->reels().contains(stored->getReel(dcp.reelUuids[1])));
        QCOMPARE(DCPManager::instance()->allAssets().count(sound), 1);
        QCOMPARE(rowCount("SELECT COUNT(*) FROM dcp_reel_asset WHERE reel_uuid = ?", dcp.reelUuids[2]), 2);
        QCOMPARE(rowCount("SELECT COUNT(*) FROM asset WHERE uuid = ?", sound2), 1);
    }

    void conflictingFiles_data()
    {
        QTest::addColumn<Button>("answer");
        QTest::newRow("Yes removes them") << UserInteraction::Yes;
        QTest::newRow("No keeps them") << UserInteraction::No;
    }

    // Files left under the names of a newly ordered reel's assets, in the folder of a DCP
    // the catalogue has, are named and removed only on Yes.
    void conflictingFiles()
    {
        QFETCH(Button, answer);
        DcpGeneratorOptions options;
        options.title = "Leftovers";
        options.reels = 2;
        options.totalSize = 2 * 4096;
        GeneratedDcp dcp;
        QVERIFY(Fixtures::generate(options, dcp));
        QJsonObject first, second;
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(dcp, {1})}, first));
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(dcp, {2})}, second));
        const QString destination = Fixtures::uniqueDir("conflict");
        {
            ScriptedUserInteraction ui;
            ui.directoryAnswers = QStringList{destination};
            QVERIFY(import(Fixtures::writePackage(first)));
        }
        DCP *stored = DCPManager::instance()->getDCP(dcp.cplUuid);
        QVERIFY(stored);
        const QString directory = destination + "/Leftovers";
        const QString picture = directory + "/" + dcp.asset("picture:2")->relativePath;
        const QString sound = directory + "/" + dcp.asset("sound:2")->relativePath;
        for (const QString &path : {picture, sound}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("half a download");
        }
        QVERIFY(FileManager::hideFile(sound)); // left hidden by an earlier attempt

        ScriptedUserInteraction ui;
        ui.buttonAnswers = {UserInteraction::Ok, answer};
        QVERIFY(import(Fixtures::writePackage(second)));
        QCOMPARE(ui.messages.size(), 2);
        QVERIFY(isMergeNotice(ui.messages[0], "Leftovers"));
        QVERIFY(sameMessage(ui.messages[1], Icon::Warning, "Remove conflicting files?",
                            "The following files will be removed...\r\n\r\n   1. "
                                + dcp.asset("picture:2")->relativePath + "\r\n   2. "
                                + dcp.asset("sound:2")->relativePath,
                            UserInteraction::Yes | UserInteraction::No, UserInteraction::No));
        if (answer == UserInteraction::Yes) {
            QVERIFY(!QFileInfo::exists(picture));
            QVERIFY(!QFileInfo::exists(sound));
            QVERIFY(stored->getReel(dcp.reelUuids[1]));
        } else {
            QVERIFY(QFileInfo::exists(picture));
            QVERIFY(QFileInfo::exists(sound));
            QVERIFY(!stored->getReel(dcp.reelUuids[1]));
            QCOMPARE(reelRows(dcp.cplUuid), 1);
        }
    }

    // The documents of a DCP the catalogue has are never overwritten; a missing one is
    // written again when the DCP is merged.
    void documentsAreNeverOverwritten()
    {
        DcpGeneratorOptions options;
        options.title = "Kept Documents";
        options.reels = 2;
        options.totalSize = 2 * 4096;
        GeneratedDcp dcp;
        QVERIFY(Fixtures::generate(options, dcp));
        QJsonObject first, second;
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(dcp, {1})}, first));
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(dcp, {2})}, second));
        const QString destination = Fixtures::uniqueDir("kept");
        {
            ScriptedUserInteraction ui;
            ui.directoryAnswers = QStringList{destination};
            QVERIFY(import(Fixtures::writePackage(first)));
        }
        const QString directory = destination + "/Kept Documents";
        for (const QString &name : {dcp.cplFileName, QString("ASSETMAP")}) {
            QFile file(directory + "/" + name);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write("edited by hand");
        }
        QVERIFY(QFile::remove(directory + "/VOLINDEX"));
        ScriptedUserInteraction ui;
        QVERIFY(import(Fixtures::writePackage(second)));
        QCOMPARE(Fixtures::readAll(directory + "/" + dcp.cplFileName), QByteArray("edited by hand"));
        QCOMPARE(Fixtures::readAll(directory + "/ASSETMAP"), QByteArray("edited by hand"));
        QCOMPARE(Fixtures::readAll(directory + "/" + dcp.pklFileName),
                 Fixtures::readAll(dcp.path + "/" + dcp.pklFileName));
        QCOMPARE(Fixtures::readAll(directory + "/VOLINDEX"), Fixtures::readAll(dcp.path + "/VOLINDEX.xml"));
        QCOMPARE(DCPManager::instance()->getDCP(dcp.cplUuid)->getReels().size(), 2);
    }

    void titleTheFileSystemRefuses()
    {
        GeneratedDcp dcp, next;
        QVERIFY(Fixtures::smallDcp("Long Title", dcp));
        QVERIFY(Fixtures::smallDcp("After The Long One", next));
        QJsonObject json;
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(dcp), Fixtures::dcpOptions(next)}, json));
        const QString longTitle = QString(150, QChar(0x00E9)); // 300 bytes in UTF-8
        json = Fixtures::withDocumentEdit(json, 0, "cpl_xml", "<AnnotationText>Long Title<",
                                          "<AnnotationText>" + longTitle + "<");
        ScriptedUserInteraction ui;
        const QString destination = Fixtures::uniqueDir("long");
        ui.directoryAnswers = QStringList{destination};
        QVERIFY(import(Fixtures::writePackage(json)));
        QVERIFY(withoutLocalWarnings(ui.messages).isEmpty());
        QVERIFY(TestSupport::readLog().contains("[DCPXMLReader] failed to createDCPDirectory. aborting..."));
        QVERIFY(!DCPManager::instance()->getDCP(dcp.cplUuid));
        QCOMPARE(assetRows(dcp.cplUuid), 0);
        // The import goes on with the next DCP.
        QVERIFY(DCPManager::instance()->getDCP(next.cplUuid));
    }

    void titleBecomesTheFolderName_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("folder");
        QTest::newRow("colon") << "Film: The Sequel" << "Film_ The Sequel";
        QTest::newRow("slash") << "AC/DC Live" << "AC_DC Live";
        QTest::newRow("web address") << "SMPTE test DCP, see https://example.org/dcp?id=3&v=1"
                                     << "SMPTE test DCP, see https___example.org_dcp_id=3&v=1";
        QTest::newRow("every refused character") << "a\\b/c:d*e?f\"g<h>i|j" << "a_b_c_d_e_f_g_h_i_j";
        QTest::newRow("control characters") << "Tab\there\nand there" << "Tab_here_and there";
        QTest::newRow("trailing dots") << "The End..." << "The End___";
        QTest::newRow("trailing spaces") << "The End  " << "The End__";
        QTest::newRow("trailing dots and spaces") << "Closing. ." << "Closing___";
        QTest::newRow("climbing out") << "../../escaped" << ".._.._escaped";
        QTest::newRow("absolute") << "/tmp/escaped" << "_tmp_escaped";
        QTest::newRow("drive letter") << "C:escaped" << "C_escaped";
        QTest::newRow("backslash climbing") << "..\\escaped" << ".._escaped";
        QTest::newRow("device name") << "CON" << "CON_";
        QTest::newRow("device name with extension") << "com1.feature" << "com1.feature_";
        QTest::newRow("leading dot kept") << ".Hidden Gem" << ".Hidden Gem";
        QTest::newRow("dots inside kept") << "Mr. Smith..Goes" << "Mr. Smith..Goes";
        QTest::newRow("non-ASCII kept") << QString::fromUtf8("Café – 東京") << QString::fromUtf8("Café – 東京");
    }

    // A title names the DCP's folder with the characters a folder name cannot hold
    // replaced; that name is the stored title, so the folder is found again.
    void titleBecomesTheFolderName()
    {
        QFETCH(QString, title);
        QFETCH(QString, folder);
        GeneratedDcp dcp;
        QJsonObject json;
        QVERIFY(Fixtures::smallDcpPackage("Plain Title", dcp, json));
        json = Fixtures::withDocumentEdit(json, 0, "cpl_xml", "<AnnotationText>Plain Title<",
                                          "<AnnotationText>" + title.toHtmlEscaped() + "<");
        const QString destination = Fixtures::uniqueDir("titles") + "/inner";
        QVERIFY(QDir().mkpath(destination));
        ScriptedUserInteraction ui;
        ui.directoryAnswers = QStringList{destination};
        QVERIFY(import(Fixtures::writePackage(json)));
        QVERIFY(withoutLocalWarnings(ui.messages).isEmpty());

        DCP *stored = DCPManager::instance()->getDCP(dcp.cplUuid);
        QVERIFY(stored);
        QCOMPARE(stored->title(), folder);
        QCOMPARE(QDir(destination).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{folder});
        // Nothing beside the destination either.
        QCOMPARE(QDir(destination + "/..").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{"inner"});
        QCOMPARE(Fixtures::readAll(destination + "/" + folder + "/" + dcp.cplFileName),
                 Fixtures::documentOf(json, 0, "cpl_xml").toUtf8());
        for (Asset *asset : stored->getAssets())
            QVERIFY(asset->filePath().startsWith(destination + "/" + folder + "/"));
        QCOMPARE(rowCount("SELECT COUNT(*) FROM dcp WHERE title = ?", folder), 1);
        QCOMPARE(CatalogueCheck::difference(), QString());
    }

    // After a restart the catalogue finds the folders of titles that needed replacing.
    void restartFindsTheFolderOfAReplacedTitle()
    {
        GeneratedDcp sequel, live;
        QVERIFY(Fixtures::smallDcp("First Title", sequel));
        QVERIFY(Fixtures::smallDcp("Second Title", live));
        QJsonObject json;
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(sequel), Fixtures::dcpOptions(live)}, json));
        json = Fixtures::withDocumentEdit(json, 0, "cpl_xml", "<AnnotationText>First Title<",
                                          "<AnnotationText>Film: The Sequel<");
        json = Fixtures::withDocumentEdit(json, 1, "cpl_xml", "<AnnotationText>Second Title<",
                                          "<AnnotationText>AC/DC Live<");
        ScriptedUserInteraction ui;
        ui.directoryAnswers = QStringList{Fixtures::uniqueDir("restart")};
        QVERIFY(import(Fixtures::writePackage(json)));

        // A second process starts on a copy of this catalogue, as the next start would.
        const QString restartDir = Fixtures::uniqueDir("restart-data");
        QVERIFY(QFile::copy(DatabaseManager::instance()->databasePath(),
                            restartDir + "/" + DatabaseManager::fileName));
        QProcess probe;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TOLVANE_DATA_DIR", restartDir);
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        probe.setProcessEnvironment(environment);
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe.start(TestSupport::builtExecutable("tests/import/catalogue_probe"), QStringList());
        QVERIFY(probe.waitForFinished(60000));
        QCOMPARE(probe.exitCode(), 0);
        const QString loaded = QString::fromUtf8(probe.readAllStandardOutput());
        QVERIFY2(loaded.contains("DCP " + sequel.cplUuid + " 1 2 Film_ The Sequel\n"), qPrintable(loaded));
        QVERIFY2(loaded.contains("DCP " + live.cplUuid + " 1 2 AC_DC Live\n"), qPrintable(loaded));
    }

    // Two titles that name one folder ("A/B" and "A:B") on one destination: the second DCP
    // gets a folder of its own, so their documents and files never overwrite each other.
    void titlesNamingOneFolder_data()
    {
        QTest::addColumn<bool>("onePackage");
        QTest::newRow("in one package") << true;
        QTest::newRow("in two packages") << false;
    }

    void titlesNamingOneFolder()
    {
        QFETCH(bool, onePackage);
        const QString tag = onePackage ? "One" : "Two";
        GeneratedDcp first, second;
        QVERIFY(Fixtures::smallDcp("First " + tag, first));
        QVERIFY(Fixtures::smallDcp("Second " + tag, second));
        QJsonObject firstJson, secondJson;
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(first)}, firstJson));
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(second)}, secondJson));
        const auto retitle = [](const QJsonObject &json, int dcp, const QString &from, const QString &to) {
            return Fixtures::withDocumentEdit(json, dcp, "cpl_xml", "<AnnotationText>" + from + "<",
                                              "<AnnotationText>" + to + "<");
        };
        const QString destination = Fixtures::uniqueDir("one-folder-" + tag);
        ScriptedUserInteraction ui;
        if (onePackage) {
            QJsonObject json;
            QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(first), Fixtures::dcpOptions(second)}, json));
            json = retitle(json, 0, "First " + tag, "A/B " + tag);
            json = retitle(json, 1, "Second " + tag, "A:B " + tag);
            ui.directoryAnswers = QStringList{destination};
            QVERIFY(import(Fixtures::writePackage(json)));
        } else {
            ui.directoryAnswers = QStringList{destination, destination};
            QVERIFY(import(Fixtures::writePackage(retitle(firstJson, 0, "First " + tag, "A/B " + tag))));
            QVERIFY(import(Fixtures::writePackage(retitle(secondJson, 0, "Second " + tag, "A:B " + tag))));
        }
        DCP *a = DCPManager::instance()->getDCP(first.cplUuid);
        DCP *b = DCPManager::instance()->getDCP(second.cplUuid);
        QVERIFY(a && b);
        QCOMPARE(a->title(), "A_B " + tag);
        QCOMPARE(b->title(), "A_B " + tag + " (2)");
        QVERIFY(TestSupport::readLog().contains(
            QString("Another DCP of the catalogue downloads into \"A_B %1\" ; this one gets \"A_B %1 (2)\"").arg(tag).toUtf8()));
        QCOMPARE(QDir(destination).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
                 (QStringList{"A_B " + tag, "A_B " + tag + " (2)"}));
        for (const auto &pair : {qMakePair(a, first), qMakePair(b, second)}) {
            const QString folder = destination + "/" + pair.first->title();
            QVERIFY(QFileInfo::exists(folder + "/" + pair.second.cplFileName));
            for (Asset *asset : pair.first->getAssets())
                QVERIFY(asset->filePath().startsWith(folder + "/"));
        }
        QVERIFY(!QFileInfo::exists(destination + "/A_B " + tag + "/" + second.cplFileName));
        QCOMPARE(CatalogueCheck::difference(), QString());
    }

    void nothingToDownload_data()
    {
        QTest::addColumn<QString>("document");
        QTest::newRow("the PKL lists none of the reel's files") << "pkl_xml";
        QTest::newRow("the ASSETMAP lists none of the reel's files") << "asset_map_xml";
        QTest::newRow("the CPL names files nobody lists") << "cpl_xml";
    }

    // A DCP whose ordered reels have no file to download is refused as one without reels,
    // before anything is written.
    void nothingToDownload()
    {
        QFETCH(QString, document);
        GeneratedDcp dcp;
        QJsonObject json;
        QVERIFY(Fixtures::smallDcpPackage("Nothing To Fetch", dcp, json));
        for (const QString &tag : {QString("picture:1"), QString("sound:1")}) {
            const QString uuid = dcp.asset(tag)->uuid;
            QVERIFY(Fixtures::documentOf(json, 0, document).contains(uuid));
            json = Fixtures::withDocumentEdit(json, 0, document, uuid, QUuid::createUuid().toString(QUuid::WithoutBraces));
        }
        const QString destination = Fixtures::uniqueDir("nothing");
        const QByteArray logBefore = TestSupport::readLog();
        QList<Message> boxes;
        QVERIFY(!importAnsweringNo(json, destination, boxes));
        QCOMPARE(boxes.size(), 1);
        QVERIFY(isRefusal(boxes[0], noReelsText));
        QVERIFY(TestSupport::readLog().mid(logBefore.size()).contains(
            "[DCPXMLReader] None of the ordered reels has a file to download, aborting...\r\n"));
        QVERIFY(!DCPManager::instance()->getDCP(dcp.cplUuid));
        QCOMPARE(rowCount("SELECT COUNT(*) FROM dcp WHERE uuid = ?", dcp.cplUuid), 0);
        QCOMPARE(QDir(destination).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    }

    // Rows under the DCP's uuid that the catalogue never loaded (a DCP row without link
    // rows, an asset row without its link) do not stand in the way of importing it again.
    void reimportOverRowsTheCatalogueDidNotLoad()
    {
        GeneratedDcp dcp;
        QJsonObject json;
        QVERIFY(Fixtures::smallDcpPackage("Left Behind", dcp, json));
        {
            DCP leftover(dcp.cplUuid, "Left Behind", QString(), Fixtures::uniqueDir("gone"));
            DatabaseManager::instance()->insertDcp(&leftover);
            Asset asset(dcp.asset("picture:1")->uuid, "hash", 10, "MXF", "old.mxf", QString());
            asset.setDcp(&leftover);
            DatabaseManager::instance()->insertAsset(&asset);
        }
        QVERIFY(!DCPManager::instance()->getDCP(dcp.cplUuid));
        const QString destination = Fixtures::uniqueDir("again");
        const QByteArray logBefore = TestSupport::readLog();
        ScriptedUserInteraction ui;
        ui.directoryAnswers = QStringList{destination};
        QVERIFY(import(Fixtures::writePackage(json)));
        QVERIFY(withoutLocalWarnings(ui.messages).isEmpty());
        QVERIFY(TestSupport::readLog().mid(logBefore.size()).contains(
            ("[DCPXMLReader] Removed rows the catalogue did not load for DCP \"" + dcp.cplUuid + "\"\r\n").toUtf8()));
        DCP *stored = DCPManager::instance()->getDCP(dcp.cplUuid);
        QVERIFY(stored);
        QCOMPARE(stored->downloadPath(), destination);
        QCOMPARE(rowCount("SELECT COUNT(*) FROM dcp WHERE uuid = ?", dcp.cplUuid), 1);
        QCOMPARE(assetRows(dcp.cplUuid), 2);
        QCOMPARE(rowCount("SELECT COUNT(*) FROM asset WHERE original_filename = ?", "old.mxf"), 0);
        QCOMPARE(CatalogueCheck::difference(), QString());
    }

    void unsafeNames_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("refusedName");

        QTest::addColumn<QString>("kind");

        // Document edits of the subtitled DCP that unsafeNames generates. A title names a
        // folder of its own once the characters a folder name cannot hold are replaced
        // (titleBecomesTheFolderName); what is left is a title that cannot name a folder.
        const QString title = "<AnnotationText>Safe Title<";
        QTest::newRow("dot-dot title") << "cpl_xml" << title << "<AnnotationText>..<" << ".." << "DCP title";
        QTest::newRow("three dots title") << "cpl_xml" << title << "<AnnotationText>...<" << "..." << "DCP title";
        QTest::newRow("dot title") << "cpl_xml" << title << "<AnnotationText>.<" << "." << "DCP title";
        QTest::newRow("dots and spaces title") << "cpl_xml" << title << "<AnnotationText> . . <" << " . . "
                                               << "DCP title";
        QTest::newRow("empty title") << "cpl_xml" << title << "<AnnotationText><" << "" << "DCP title";
        QTest::newRow("file name climbing out") << "pkl_xml" << "<OriginalFileName>j2c_r1_"
                                                << "<OriginalFileName>../../j2c_r1_" << "../../j2c_r1_"
                                                << "asset file name";
        QTest::newRow("absolute file name") << "pkl_xml" << "<OriginalFileName>pcm_r1_"
                                            << "<OriginalFileName>/tmp/pcm_r1_" << "/tmp/pcm_r1_"
                                            << "asset file name";
        QTest::newRow("sub-folder climbing out") << "asset_map_xml" << "<Path>SUBTITLE"
                                                 << "<Path>../../SUBTITLE" << "../../" << "asset folder";
        QTest::newRow("absolute chunk path") << "asset_map_xml" << "<Path>SUBTITLE" << "<Path>/tmp/SUBTITLE"
                                             << "/tmp/" << "asset folder";
        QTest::newRow("cpl_xml_name") << "cpl_xml_name" << QString() << "../escaped.xml" << "../escaped.xml"
                                      << "CPL file name";
        QTest::newRow("pkl_xml_name") << "pkl_xml_name" << QString() << "C:\\escaped.xml" << "C:\\escaped.xml"
                                      << "PKL file name";
    }

    void unsafeNames()
    {
        QFETCH(QString, key);
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(QString, refusedName);
        QFETCH(QString, kind);
        DcpGeneratorOptions options;
        options.title = "Safe Title";
        options.totalSize = 4096;
        options.subtitles = true;
        GeneratedDcp dcp;
        QVERIFY(Fixtures::generate(options, dcp));
        QJsonObject json;
        QVERIFY(Fixtures::packageJson({Fixtures::dcpOptions(dcp)}, json));
        const QString subtitle = dcp.asset("subtitle:1")->uuid;
        if (before.isEmpty()) {
            json = Fixtures::withDcpValue(json, 0, key, after);
        } else {
            const QString from = QString(before).replace("SUBTITLE", subtitle);
            const QString to = QString(after).replace("SUBTITLE", subtitle);
            QVERIFY(Fixtures::documentOf(json, 0, key).contains(from));
            json = Fixtures::withDocumentEdit(json, 0, key, from, to);
        }
        const QString destination = Fixtures::uniqueDir("unsafe") + "/inner/destination";
        QVERIFY(QDir().mkpath(destination));
        const QByteArray logBefore = TestSupport::readLog();
        QList<Message> boxes;
        QVERIFY(!importAnsweringNo(json, destination, boxes));
        QCOMPARE(boxes.size(), 1);
        QVERIFY(isRefusal(boxes[0], dataMissingText));
        const QByteArray log = TestSupport::readLog().mid(logBefore.size());
        // The name as the log writes a text: in double quotes, backslashes and quotes escaped.
        const QString written = QString(refusedName).replace("\\", "\\\\").replace("\"", "\\\"");
        QVERIFY(log.contains(("[DCPXMLReader] Refusing unsafe " + kind + ": \"" + written).toUtf8()));
        QVERIFY(log.contains("[DCPXMLReader] Unsafe file or folder name in the DCP, aborting..."));
        QVERIFY(!DCPManager::instance()->getDCP(dcp.cplUuid));
        QCOMPARE(assetRows(dcp.cplUuid), 0);
        // Nothing was created, inside the destination or around it.
        const QString around = QFileInfo(QFileInfo(destination).path()).path();
        QCOMPARE(QDir(destination).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
        QCOMPARE(QDir(around).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{"inner"});
        QVERIFY(!QFileInfo::exists("/tmp/escaped"));
    }
};

TOLVANE_TEST_MAIN(TestImportFlow)
#include "tst_import_flow.moc"
