#include "CatalogueCheck.h"
#include "ImportFixtures.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "import/DCPXMLReader.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QFileInfo>
#include <QSqlQuery>
#include <QtTest>

Q_DECLARE_METATYPE(DcpGeneratorOptions)

using CatalogueCheck::rowCount;

namespace {

// Every asset the DCP must bring: a track file or companion file that both the PKL and the
// ASSETMAP list. The CPL is written from the package, not downloaded.
bool expectedInDcp(const GeneratedAsset &asset)
{
    return asset.inPkl && asset.inAssetMap && !asset.relativePath.isEmpty() && asset.tag != "cpl";
}

int reelOf(const GeneratedAsset &asset)
{
    return asset.tag.section(':', 1).toInt();
}

}

// DCPs as real mastering tools write them import with every track.
class TestImportVariants : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        QVERIFY(DCPManager::instance());
    }

    void variants_data()
    {
        QTest::addColumn<DcpGeneratorOptions>("options");
        QTest::addColumn<QList<int>>("reels");

        DcpGeneratorOptions base;
        base.title = "Variant Feature";
        base.totalSize = 64 * 1024;

        QTest::newRow("SMPTE") << base << QList<int>();
        DcpGeneratorOptions o = base;
        o.standard = DcpStandard::Interop;
        QTest::newRow("Interop") << o << QList<int>();
        o = base;
        o.reels = 3;
        QTest::newRow("three reels") << o << QList<int>();
        QTest::newRow("reels 1 and 3 of three") << o << QList<int>{1, 3};
        o = base;
        o.stereo = StereoForm::MspCpl2007;
        QTest::newRow("stereo msp-cpl 2007") << o << QList<int>();
        o.stereo = StereoForm::MspCpl2008;
        QTest::newRow("stereo msp-cpl 2008") << o << QList<int>();
        o.stereo = StereoForm::DefaultNamespace;
        QTest::newRow("stereo default namespace") << o << QList<int>();
        o.stereo = StereoForm::OtherPrefix;
        QTest::newRow("stereo other prefix") << o << QList<int>();
        o = base;
        o.reels = 6;
        o.subtitles = true;
        QTest::newRow("six reels, six Arial.ttf") << o << QList<int>();
        o.standard = DcpStandard::Interop;
        QTest::newRow("Interop subtitles") << o << QList<int>();
        o = base;
        o.subtitles = true;
        o.pklWithoutOriginalFileName = QStringList{"all"};
        QTest::newRow("PKL without OriginalFileName") << o << QList<int>();
        o.pklWithoutOriginalFileName = QStringList{"font:1"};
        o.pklWithoutAnnotationText = true;
        QTest::newRow("PKL without AnnotationText, font unnamed") << o << QList<int>();
        o = base;
        o.assetMapExtraAsset = true;
        o.cplPhantomAsset = true;
        QTest::newRow("ASSETMAP extra, CPL phantom") << o << QList<int>();
        o.subtitles = true;
        QTest::newRow("phantom closed caption with subtitles") << o << QList<int>();
        o = base;
        o.chunkWithoutLength = true;
        o.chunkWithoutOffset = true;
        QTest::newRow("chunks without Length and Offset") << o << QList<int>();
        o = base;
        o.xmlComments = true;
        o.subtitles = true;
        QTest::newRow("comments in the root") << o << QList<int>();
        o = base;
        o.oneLine = true;
        o.subtitles = true;
        QTest::newRow("one-line documents") << o << QList<int>();
        o = base;
        o.crlf = true;
        o.subtitles = true;
        QTest::newRow("CRLF line endings") << o << QList<int>();
        o = base;
        o.largeDeclaredSize = true;
        QTest::newRow("size above 2^32") << o << QList<int>();
        o = base;
        o.assetMapPrefixed = true;
        o.subtitles = true;
        QTest::newRow("prefixed ASSETMAP") << o << QList<int>();
        o = base;
        o.extraAssetListEntries = true;
        o.reels = 2;
        QTest::newRow("Atmos, closed captions, markers") << o << QList<int>();
        o.standard = DcpStandard::Interop;
        QTest::newRow("Interop Atmos and captions") << o << QList<int>();
        o = base;
        o.bareIds = true;
        o.subtitles = true;
        QTest::newRow("Ids without urn:uuid:") << o << QList<int>();
        o = base;
        o.title = QString::fromUtf8("Café Noir – 東京 Ünïcode");
        o.subtitles = true;
        o.fontFileName = QString::fromUtf8("Schrift Ä.ttf");
        QTest::newRow("non-ASCII title and names") << o << QList<int>();
        o = base;
        o.title = QString::fromUtf8("Всё вместе");
        o.standard = DcpStandard::Interop;
        o.reels = 3;
        o.subtitles = true;
        o.stereo = StereoForm::MspCpl2007;
        o.pklWithoutOriginalFileName = QStringList{"all"};
        o.pklWithoutAnnotationText = true;
        o.assetMapExtraAsset = true;
        o.assetMapPrefixed = true;
        o.chunkWithoutLength = true;
        o.cplPhantomAsset = true;
        o.extraAssetListEntries = true;
        o.xmlComments = true;
        o.crlf = true;
        o.largeDeclaredSize = true;
        QTest::newRow("everything at once") << o << QList<int>{1, 3};
    }

    void variants()
    {
        QFETCH(DcpGeneratorOptions, options);
        QFETCH(QList<int>, reels);
        GeneratedDcp generated;
        QString error;
        QVERIFY2(Fixtures::generate(options, generated, &error), qPrintable(error));
        QJsonObject json;
        QVERIFY2(Fixtures::packageJson({Fixtures::dcpOptions(generated, reels)}, json, 4096, &error),
                 qPrintable(error));
        const QString destination = Fixtures::uniqueDir("variant");

        ScriptedUserInteraction ui;
        ui.directoryAnswers = QStringList{destination};
        DCPXMLReader reader(Fixtures::decodingKey());
        QVERIFY(reader.loadPackage(Fixtures::writePackage(json)));
        for (const UserInteraction::Message &m : ui.messages)
            QCOMPARE(m.text, QString("Warning: Are you downloading to your local hard drive?"));

        DCP *dcp = DCPManager::instance()->getDCP(generated.cplUuid);
        QVERIFY(dcp);
        QCOMPARE(dcp->title(), options.title);
        const QString directory = destination + "/" + options.title;

        QList<int> selected = reels;
        if (selected.isEmpty())
            for (int r = 1; r <= options.reels; ++r)
                selected.append(r);
        QCOMPARE(dcp->getReels().size(), selected.size());
        for (int i = 0; i < selected.size(); ++i) {
            Reel *reel = dcp->getReels().at(i);
            QCOMPARE(reel->uuid(), generated.reelUuids[selected[i] - 1]);
            QCOMPARE(reel->reelNumber(), quint32(selected[i]));
        }

        int expected = 0;
        int links = 0;
        for (const GeneratedAsset &g : generated.assets) {
            Asset *asset = dcp->getAsset(g.uuid);
            const bool wanted = expectedInDcp(g) && selected.contains(reelOf(g));
            QVERIFY2(bool(asset) == wanted, qPrintable(g.tag));
            if (!asset)
                continue;
            ++expected;
            QCOMPARE(asset->dcp(), dcp);
            QCOMPARE(asset->filePath(), directory + "/" + g.relativePath);
            QCOMPARE(asset->originalFilename(), QFileInfo(g.relativePath).fileName());
            QCOMPARE(asset->size(), quint64(g.size));
            QCOMPARE(asset->hash(), g.hash);
            QCOMPARE(asset->type(), g.type);
            QVERIFY2(asset->downloadUrl().startsWith("https://assets.example.invalid/"), qPrintable(g.tag));
            QVERIFY(asset->downloadUrl().endsWith(encodeUrlPath(g.relativePath)));
            Reel *reel = dcp->getReel(generated.reelUuids[reelOf(g) - 1]);
            QVERIFY(reel);
            QVERIFY2(reel->getAssets().contains(asset), qPrintable(g.tag));
            QCOMPARE(asset->reels(), QList<Reel *>{reel});
            links += 1;
        }
        QCOMPARE(dcp->getAssets().size(), expected);
        if (options.largeDeclaredSize && selected.contains(1))
            QVERIFY(dcp->getAsset(generated.asset("picture:1")->uuid)->size() > (quint64(1) << 32));

        QCOMPARE(rowCount("SELECT COUNT(*) FROM asset WHERE dcp_uuid = ?", generated.cplUuid), expected);
        QCOMPARE(rowCount("SELECT COUNT(*) FROM dcp_reel_asset WHERE dcp_uuid = ?", generated.cplUuid), links);
        QCOMPARE(rowCount("SELECT COUNT(*) FROM reel WHERE dcp_uuid = ?", generated.cplUuid), selected.size());

        // The documents are the package's bytes, line endings and non-ASCII text included.
        QCOMPARE(Fixtures::readAll(directory + "/" + generated.cplFileName),
                 Fixtures::readAll(generated.path + "/" + generated.cplFileName));
        QCOMPARE(Fixtures::readAll(directory + "/" + generated.pklFileName),
                 Fixtures::readAll(generated.path + "/" + generated.pklFileName));
        QCOMPARE(Fixtures::readAll(directory + "/ASSETMAP"),
                 Fixtures::readAll(generated.path + "/" + generated.assetMapFileName));
        QCOMPARE(Fixtures::readAll(directory + "/VOLINDEX"),
                 Fixtures::readAll(generated.path + "/" + generated.volIndexFileName));
        QVERIFY(!Fixtures::readAll(directory + "/ASSETMAP").isEmpty());
        QCOMPARE(CatalogueCheck::difference(), QString());
    }
};

TOLVANE_TEST_MAIN(TestImportVariants)
#include "tst_import_variants.moc"
