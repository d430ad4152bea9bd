#include "ImportFixtures.h"

#include "import/DCPXMLReader.h"
#include "import/PackageDocuments.h"
#include "support/TestMain.h"

#include <QtTest>

using namespace PackageDocuments;

// The pure half of the package reader: cipher, JSON values, names and the three parsers.
class TestPackageDocuments : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
    }

    void decryptsWhatThePackToolEncrypts_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("one byte") << 1;
        QTest::newRow("one block") << 16;
        QTest::newRow("odd") << 1001;
        QTest::newRow("large") << 300000;
    }

    void decryptsWhatThePackToolEncrypts()
    {
        QFETCH(int, size);
        QByteArray plain(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            plain[i] = char((i * 7 + size) & 0xFF);
        QByteArray file;
        QVERIFY(encryptPackage(Fixtures::decodingKey().toUtf8(), plain, file));
        QCOMPARE(file.size(), size + 16);
        const QByteArray key = cipherKey(Fixtures::decodingKey());
        QCOMPARE(key, Fixtures::decodingKey().toUtf8().left(32));
        QCOMPARE(DCPXMLReader::decryptPackage(key, file), plain);
        // Another key gives other bytes of the same length.
        const QByteArray other = cipherKey("another-key-0123456789abcdef0123456789");
        const QByteArray wrong = DCPXMLReader::decryptPackage(other, file);
        QCOMPARE(wrong.size(), plain.size());
        QVERIFY(wrong != plain);
    }

    void shortFilesGiveNothing()
    {
        const QByteArray key = cipherKey(Fixtures::decodingKey());
        QVERIFY(decrypt(key, QByteArray()).isEmpty());
        QVERIFY(decrypt(key, QByteArray(16, 'x')).isEmpty());
        QCOMPARE(decrypt(key, QByteArray(17, 'x')).size(), 1);
        QVERIFY(decrypt(QByteArray(31, 'k'), QByteArray(40, 'x')).isEmpty());
    }

    void cipherKeys_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("key");
        const QString k32 = "0123456789abcdef0123456789abcdef";
        QTest::newRow("exactly 32") << k32 << k32.toUtf8();
        QTest::newRow("longer") << k32 + "tail" << k32.toUtf8();
        QTest::newRow("31 bytes") << k32.left(31) << QByteArray();
        QTest::newRow("empty") << QString() << QByteArray();
        QTest::newRow("zero byte at 10") << k32.left(10) + QChar(0) + k32 << QByteArray();
        QTest::newRow("zero byte after 32") << k32 + QChar(0) + "x" << k32.toUtf8();
        // 16 two-byte letters are 32 bytes.
        QTest::newRow("non-ASCII counts bytes") << QString(16, QChar(0x00E9)) << QString(16, QChar(0x00E9)).toUtf8();
        QTest::newRow("15 non-ASCII letters") << QString(15, QChar(0x00E9)) << QByteArray();
    }

    void cipherKeys()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, key);
        QCOMPARE(cipherKey(text), key);
    }

    void jsonValues_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<int>("version");
        QTest::addColumn<qint64>("projectSize");
        QTest::addColumn<qint64>("campaign");
        QTest::newRow("integer") << QJsonValue(20170613) << 20170613 << qint64(20170613) << qint64(20170613);
        QTest::newRow("fraction") << QJsonValue(12.5) << 0 << qint64(13) << qint64(13);
        QTest::newRow("negative") << QJsonValue(-1) << -1 << qint64(-1) << qint64(-1);
        QTest::newRow("numeric text") << QJsonValue("1001") << 0 << qint64(1001) << qint64(0);
        QTest::newRow("other text") << QJsonValue("abc") << 0 << qint64(0) << qint64(0);
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << 0 << qint64(0) << qint64(0);
        QTest::newRow("bool") << QJsonValue(true) << 0 << qint64(0) << qint64(0);
        QTest::newRow("above 2^32") << QJsonValue(double(qint64(1) << 40)) << 0 << (qint64(1) << 40)
                                    << (qint64(1) << 40);
        QTest::newRow("huge") << QJsonValue(1e300) << 0 << std::numeric_limits<qint64>::max()
                              << std::numeric_limits<qint64>::max();
    }

    void jsonValues()
    {
        QFETCH(QJsonValue, value);
        QFETCH(int, version);
        QFETCH(qint64, projectSize);
        QFETCH(qint64, campaign);
        QCOMPARE(readVersion(value), version);
        QCOMPARE(readProjectSize(value), projectSize);
        QCOMPARE(readCampaignDcpId(value), campaign);
    }

    void documentsDecode()
    {
        const QByteArray text = QString::fromUtf8("<?xml?>\r\n<a>é東</a>\r\n").toUtf8();
        QCOMPARE(decodeDocument(QString::fromLatin1(text.toBase64())), text);
        // Characters outside the alphabet are skipped; a zero byte ends the document.
        QString broken = QString::fromLatin1(text.toBase64());
        broken.insert(4, "\n !");
        QCOMPARE(decodeDocument(broken), text);
        QCOMPARE(decodeDocument(QString::fromLatin1((text + QByteArray(1, '\0') + "tail").toBase64())), text);
        QVERIFY(decodeDocument(QJsonValue(42)).isEmpty());
        QCOMPARE(documentText("\xEF\xBB\xBF<a/>"), QString("<a/>"));
    }

    void names_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("safeFile");
        QTest::addColumn<bool>("safeFolder");
        QTest::newRow("plain") << "CPL_1.xml" << true << true;
        QTest::newRow("spaces") << "My Feature 2D" << true << true;
        QTest::newRow("non-ASCII") << QString::fromUtf8("Café 東京 Ä") << true << true;
        QTest::newRow("leading dot") << ".hidden" << true << true;
        QTest::newRow("dots inside") << "a..b" << true << true;
        QTest::newRow("empty") << "" << false << false;
        QTest::newRow("dot") << "." << false << false;
        QTest::newRow("dot-dot") << ".." << false << false;
        QTest::newRow("climbing") << "../x" << false << false;
        QTest::newRow("nested") << "a/b" << false << true;
        QTest::newRow("nested climbing") << "a/../../b" << false << false;
        QTest::newRow("absolute") << "/etc" << false << false;
        QTest::newRow("trailing slash") << "a/" << false << false;
        QTest::newRow("backslash") << "a\\b" << false << false;
        QTest::newRow("drive") << "C:" << false << false;
        QTest::newRow("drive path") << "C:/Windows" << false << false;
        QTest::newRow("control") << QString("a") + QChar(0x0A) + "b" << false << false;
        QTest::newRow("zero") << QString("a") + QChar(0) << false << false;
    }

    void names()
    {
        QFETCH(QString, name);
        QFETCH(bool, safeFile);
        QFETCH(bool, safeFolder);
        QCOMPARE(isSafeFileName(name), safeFile);
        QCOMPARE(isSafeSubFolder(name), safeFolder);
    }

    void folderNames_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << "Feature 2D" << "Feature 2D";
        QTest::newRow("colon") << "Film: The Sequel" << "Film_ The Sequel";
        QTest::newRow("slash") << "AC/DC Live" << "AC_DC Live";
        QTest::newRow("URL") << "http://a.b/c?d" << "http___a.b_c_d";
        QTest::newRow("all refused") << "\\/:*?\"<>|" << "_________";
        QTest::newRow("control") << QString("a") + QChar(0x01) + QChar(0x1F) + QChar(0x7F) + "b" << "a___b";
        QTest::newRow("trailing dots") << "End.." << "End__";
        QTest::newRow("trailing space") << "End " << "End_";
        QTest::newRow("dots inside") << "a..b" << "a..b";
        QTest::newRow("leading dot") << ".x" << ".x";
        QTest::newRow("leading spaces") << "  x" << "  x";
        QTest::newRow("dot-dot") << ".." << "";
        QTest::newRow("three dots") << "..." << "";
        QTest::newRow("dot") << "." << "";
        QTest::newRow("spaces") << "   " << "";
        QTest::newRow("dots and spaces") << ". . " << "";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("traversal") << "../x" << ".._x";
        QTest::newRow("device") << "nul" << "nul_";
        QTest::newRow("device with extension") << "LPT1.txt" << "LPT1.txt_";
        QTest::newRow("not a device") << "CONSOLE" << "CONSOLE";
        QTest::newRow("COM0 is no device") << "COM0" << "COM0";
    }

    void folderNames()
    {
        QFETCH(QString, title);
        QFETCH(QString, folder);
        QCOMPARE(folderNameForTitle(title), folder);
        if (!folder.isEmpty())
            QVERIFY(isSafeFileName(folder));
    }

    void elementsByLocalName()
    {
        const QString assetMap = "<am:AssetMap xmlns:am=\"x\"><!-- c --><am:AssetList>"
                                 "<am:Asset><am:Id>urn:uuid:aaa</am:Id><am:ChunkList><am:Chunk><am:Path>sub/f.ttf"
                                 "</am:Path></am:Chunk></am:ChunkList></am:Asset>"
                                 "<am:Asset><am:Id>bbb</am:Id><am:ChunkList><am:Chunk><am:Path>b.mxf</am:Path>"
                                 "</am:Chunk></am:ChunkList></am:Asset></am:AssetList></am:AssetMap>";
        QMap<QString, AssetMapEntry> entries;
        QVERIFY(parseAssetMap(assetMap, entries));
        QCOMPARE(entries.keys(), (QStringList{"aaa", "bbb"}));
        QCOMPARE(entries["aaa"].chunkPaths, QStringList{"sub/f.ttf"});
        QCOMPARE(chunkFolder("sub/f.ttf"), QString("sub"));
        QCOMPARE(chunkFolder("b.mxf"), QString("."));

        const QString cpl = "<CompositionPlaylist xmlns=\"c\" xmlns:s=\"s\"><Id>urn:uuid:ccc</Id>"
                            "<AnnotationText>T</AnnotationText><ReelList>"
                            "<Reel><Id>r1</Id><AssetList><s:MainStereoscopicPicture><Id>p1</Id>"
                            "</s:MainStereoscopicPicture><MainSound><Id>urn:uuid:s1</Id></MainSound>"
                            "<axd:AuxData xmlns:axd=\"a\"><Id>x1</Id></axd:AuxData><MainMarkers><Id>m1</Id>"
                            "</MainMarkers></AssetList></Reel>"
                            "<Reel><Id>r2</Id><AssetList><MainPicture><Id>p2</Id></MainPicture></AssetList></Reel>"
                            "</ReelList></CompositionPlaylist>";
        Composition composition;
        QByteArray logBefore = TestSupport::readLog();
        QVERIFY(parseComposition(cpl, QJsonArray{1}, composition));
        // Text values reach the log in double quotes, one space after the literal.
        QVERIFY(TestSupport::readLog().mid(logBefore.size()).contains("[DCPXMLReader] adding Reel  \"r1\"\r\n"));
        QCOMPARE(composition.id, QString("ccc"));
        QCOMPARE(composition.title, QString("T"));
        QCOMPARE(composition.reels.size(), 1);
        QCOMPARE(composition.reels[0].pictureUuid, QString("p1"));
        QCOMPARE(composition.reels[0].soundUuid, QString("s1"));
        QCOMPARE(composition.reels[0].subtitleUuid, QString());
        QCOMPARE(composition.reels[0].otherUuids, (QStringList{"x1", "m1"}));
        Composition none;
        QVERIFY(parseComposition(cpl, QJsonArray{7}, none));
        QVERIFY(none.reels.isEmpty());

        const QString pkl = "<PackingList><AssetList>"
                            "<Asset><Id>aaa</Id><Hash>h</Hash><Size>5000000000</Size><Type>t</Type></Asset>"
                            "<Asset><Id>zzz</Id><Hash>h</Hash><Size>1</Size><Type>t</Type></Asset>"
                            "<Asset><Id>bbb</Id><Hash>h</Hash><Size> 0 </Size><Type>t</Type>"
                            "<OriginalFileName>named.mxf</OriginalFileName></Asset>"
                            "<Asset><Id>ccc</Id><Size>1</Size><Type>t</Type></Asset>"
                            "</AssetList></PackingList>";
        QVector<PackingListAsset> assets;
        logBefore = TestSupport::readLog();
        QVERIFY(parsePackingList(pkl, entries, assets));
        const QByteArray added = TestSupport::readLog().mid(logBefore.size());
        QVERIFY(added.contains("[DCPXMLReader] adding Asset  \"f.ttf\"\r\n"));
        QVERIFY(added.contains("[DCPXMLReader] adding Asset  \"named.mxf\"\r\n"));
        // No OriginalFileName: the ASSETMAP's file name; not in the ASSETMAP either: dropped.
        QCOMPARE(assets.size(), 2);
        QCOMPARE(assets[0].uuid, QString("aaa"));
        QCOMPARE(assets[0].fileName, QString("f.ttf"));
        QCOMPARE(assets[0].size, quint64(5000000000ULL));
        QCOMPARE(assets[1].fileName, QString("named.mxf"));
        QCOMPARE(assets[1].size, quint64(0));
    }

    void parseFailures_data()
    {
        QTest::addColumn<int>("document");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("ASSETMAP not XML") << 0 << "<a>" << "[DCPXMLReader] Could not load ASSETMAP XML file";
        QTest::newRow("ASSETMAP without Asset") << 0 << "<AssetMap/>" << "[DCPXMLReader] no Asset(s) found in ASSETMAP";
        QTest::newRow("CPL not XML") << 1 << "" << "[DCPXMLReader] Could not load CPL XML file";
        QTest::newRow("CPL without Reel") << 1 << "<CompositionPlaylist/>" << "[DCPXMLReader] no Reels found.";
        QTest::newRow("PKL not XML") << 2 << "<<" << "[DCPXMLReader] Could not load KPL XML file";
        QTest::newRow("PKL without Asset") << 2 << "<PackingList/>" << "[DCPXMLReader] no Asset(s) found in PKL";
        // A size read as 0 would end every transfer of the asset at its first byte.
        const QString sized = "<PackingList><AssetList><Asset><Id>bbb</Id><Hash>h</Hash><Size>%1</Size><Type>t</Type>"
                              "<OriginalFileName>named.mxf</OriginalFileName></Asset></AssetList></PackingList>";
        const QString unreadable = "[DCPXMLReader] Unreadable size in the PKL for asset \"bbb\" : \"%1\"";
        for (const QString &size : QStringList{"x", "-1", "1.5", "", "12 MB", "99999999999999999999"})
            QTest::newRow(qPrintable("PKL size \"" + size + "\"")) << 2 << sized.arg(size) << unreadable.arg(size);
    }

    void parseFailures()
    {
        QFETCH(int, document);
        QFETCH(QString, text);
        QFETCH(QString, logLine);
        const QByteArray before = TestSupport::readLog();
        QMap<QString, AssetMapEntry> entries;
        Composition composition;
        QVector<PackingListAsset> assets;
        bool ok = true;
        if (document == 0)
            ok = parseAssetMap(text, entries);
        else if (document == 1)
            ok = parseComposition(text, QJsonArray{1}, composition);
        else
            ok = parsePackingList(text, entries, assets);
        QVERIFY(!ok);
        QVERIFY(TestSupport::readLog().mid(before.size()).contains((logLine + "\r\n").toUtf8()));
    }

    // Documents that exhaust the DOM parser: an entity of 10,000 characters used 10,000
    // times (39 KiB, 385 MiB once expanded), the same used 20,000 times (78 KiB, past 1 GiB)
    // and 50,000 nested elements (341 KiB, a stack overflow inside the parser). Each is
    // refused before it is parsed, as each of the three documents.
    void hostileDocuments_data()
    {
        QTest::addColumn<int>("document");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("refusal");
        const auto entityBomb = [](const QString &root, int uses) {
            return QString("<?xml version=\"1.0\"?>\n<!DOCTYPE %1 [<!ENTITY big \"%2\">]>\n<%1><Id>%3</Id>")
                       .arg(root, QString(10000, 'x'), QString("&big;").repeated(uses))
                + "</" + root + ">";
        };
        const auto nested = [](const QString &root, int depth) {
            return "<" + root + ">" + QString("<Reel>").repeated(depth) + QString("</Reel>").repeated(depth) + "</"
                + root + ">";
        };
        const QString dtd = "\"it declares a DTD\"";
        const QString deep = "\"elements nested deeper than 64\"";
        const QStringList roots{"AssetMap", "CompositionPlaylist", "PackingList"};
        for (int document = 0; document < 3; ++document) {
            const QString root = roots[document];
            QTest::newRow(qPrintable(root + ", 39 KiB entity expansion")) << document << entityBomb(root, 10000) << dtd;
            QTest::newRow(qPrintable(root + ", 78 KiB entity expansion")) << document << entityBomb(root, 20000) << dtd;
            QTest::newRow(qPrintable(root + ", 50,000 nested elements")) << document << nested(root, 50000) << deep;
            QTest::newRow(qPrintable(root + ", 65 nested elements")) << document << nested(root, 64) << deep;
            QTest::newRow(qPrintable(root + ", 5 MiB")) << document
                                                          << "<" + root + ">" + QString(5 * 1024 * 1024, ' ') + "</"
                                                                 + root + ">"
                                                          << "\"larger than 4194304 characters\"";
        }
        // A DTD that declares nothing is refused all the same.
        QTest::newRow("CompositionPlaylist, an empty DTD")
            << 1 << "<!DOCTYPE CompositionPlaylist><CompositionPlaylist><Reel/></CompositionPlaylist>" << dtd;
    }

    void hostileDocuments()
    {
        QFETCH(int, document);
        QFETCH(QString, text);
        QFETCH(QString, refusal);
        const QByteArray before = TestSupport::readLog();
        QMap<QString, AssetMapEntry> entries;
        Composition composition;
        QVector<PackingListAsset> assets;
        bool ok = true;
        if (document == 0)
            ok = parseAssetMap(text, entries);
        else if (document == 1)
            ok = parseComposition(text, QJsonArray{1}, composition);
        else
            ok = parsePackingList(text, entries, assets);
        QVERIFY(!ok);
        const QByteArray log = TestSupport::readLog().mid(before.size());
        QVERIFY2(log.contains(("[DCPXMLReader] Refusing an XML document: " + refusal + "\r\n").toUtf8()), log.constData());
    }

    // Nesting as deep as the bound, without a DTD, is read as before.
    void documentWithinTheBoundsIsRead()
    {
        const QString reel = "<Reel><Id>urn:uuid:r1</Id><AssetList><MainSound><Id>urn:uuid:s1</Id></MainSound></AssetList></Reel>";
        const QString text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><CompositionPlaylist><Id>urn:uuid:c1</Id>"
                             "<AnnotationText>Title</AnnotationText><ReelList>"
            + reel + "</ReelList><X>" + QString("<Y>").repeated(60) + QString("</Y>").repeated(60) + "</X></CompositionPlaylist>";
        Composition composition;
        QVERIFY(parseComposition(text, QJsonArray{1}, composition));
        QCOMPARE(composition.id, QString("c1"));
        QCOMPARE(composition.reels.size(), 1);
        QCOMPARE(composition.reels[0].soundUuid, QString("s1"));
    }
};

TOLVANE_TEST_MAIN(TestPackageDocuments)
#include "tst_package_documents.moc"
