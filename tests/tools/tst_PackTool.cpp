#include "DcpGenerator.h"
#include "PackageBuilder.h"
#include "support/TestMain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

namespace {

const QByteArray kKeyText = "0123456789abcdef0123456789abcdef-and-more";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QDomDocument xml(const QString &path)
{
    QDomDocument doc;
    doc.setContent(readAll(path), false);
    return doc;
}

QString text(const QDomElement &parent, const QString &name)
{
    return parent.firstChildElement(name).text();
}

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QString &program, const QStringList &args, const QByteArray &input = QByteArray())
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return Run();
    if (!input.isNull()) {
        p.write(input);
        p.closeWriteChannel();
    }
    p.waitForFinished(60000);
    return Run{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
               p.readAllStandardError()};
}

QString pack()
{
    return TestSupport::builtExecutable("tools/orvdcp-pack");
}

} // namespace

class TestPackTool : public QObject {
    Q_OBJECT

private slots:
    void generatedDocumentsDescribeTheFiles()
    {
        DcpGeneratorOptions o;
        o.outDir = TestSupport::dataDir() + "/gen1";
        o.title = "Feature One";
        o.reels = 3;
        o.totalSize = 3 * 1000 * 1000 + 7;
        o.subtitles = true;
        o.seed = 11;
        GeneratedDcp dcp;
        QString error;
        QVERIFY2(generateDcp(o, dcp, &error), qPrintable(error));
        QCOMPARE(QFileInfo(dcp.path).fileName(), QString("Feature One"));
        QCOMPARE(dcp.reelUuids.size(), 3);

        // CPL.
        const QDomElement cpl = xml(dcp.path + "/" + dcp.cplFileName).documentElement();
        QCOMPARE(cpl.tagName(), QString("CompositionPlaylist"));
        QCOMPARE(cpl.attribute("xmlns"), QString("http://www.smpte-ra.org/schemas/429-7/2006/CPL"));
        QCOMPARE(text(cpl, "Id"), "urn:uuid:" + dcp.cplUuid);
        QCOMPARE(text(cpl, "AnnotationText"), QString("Feature One"));
        const QDomNodeList reels = cpl.elementsByTagName("Reel");
        QCOMPARE(reels.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QDomElement reel = reels.at(i).toElement();
            QCOMPARE(text(reel, "Id"), "urn:uuid:" + dcp.reelUuids[i]);
            const QDomElement list = reel.firstChildElement("AssetList");
            const QString n = QString::number(i + 1);
            QCOMPARE(text(list.firstChildElement("MainPicture"), "Id"), "urn:uuid:" + dcp.asset("picture:" + n)->uuid);
            QCOMPARE(text(list.firstChildElement("MainSound"), "Id"), "urn:uuid:" + dcp.asset("sound:" + n)->uuid);
            QCOMPARE(text(list.firstChildElement("MainSubtitle"), "Id"), "urn:uuid:" + dcp.asset("subtitle:" + n)->uuid);
            // The subtitle and its font sit in a folder named after the subtitle's uuid.
            QCOMPARE(dcp.asset("subtitle:" + n)->relativePath.section('/', 0, 0), dcp.asset("subtitle:" + n)->uuid);
            QCOMPARE(dcp.asset("font:" + n)->relativePath, dcp.asset("subtitle:" + n)->uuid + "/Arial.ttf");
        }

        // PKL: hashes and sizes are those of the files on disk; the CPL is listed too.
        const QDomElement pkl = xml(dcp.path + "/" + dcp.pklFileName).documentElement();
        QCOMPARE(pkl.attribute("xmlns"), QString("http://www.smpte-ra.org/schemas/429-8/2007/PKL"));
        QCOMPARE(text(pkl, "Id"), "urn:uuid:" + dcp.pklUuid);
        QMap<QString, QString> paths; // from the ASSETMAP
        const QDomElement map = xml(dcp.path + "/ASSETMAP.xml").documentElement();
        const QDomNodeList mapAssets = map.elementsByTagName("Asset");
        for (int i = 0; i < mapAssets.size(); ++i) {
            const QDomElement a = mapAssets.at(i).toElement();
            const QDomElement chunk = a.firstChildElement("ChunkList").firstChildElement("Chunk");
            QCOMPARE(text(chunk, "VolumeIndex"), QString("1"));
            QCOMPARE(text(chunk, "Offset"), QString("0"));
            const QString path = text(chunk, "Path");
            QCOMPARE(text(chunk, "Length").toLongLong(), QFileInfo(dcp.path + "/" + path).size());
            paths.insert(text(a, "Id").mid(9), path);
        }
        QVERIFY(paths.contains(dcp.pklUuid));
        const QDomNodeList assets = pkl.elementsByTagName("Asset");
        QCOMPARE(assets.size(), 1 + 3 * 4);
        quint64 trackBytes = 0;
        bool cplListed = false;
        for (int i = 0; i < assets.size(); ++i) {
            const QDomElement a = assets.at(i).toElement();
            const QString uuid = text(a, "Id").mid(9);
            QVERIFY2(paths.contains(uuid), qPrintable(uuid));
            const QString file = dcp.path + "/" + paths[uuid];
            const QByteArray bytes = readAll(file);
            QCOMPARE(text(a, "Hash"),
                     QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toBase64()));
            QCOMPARE(text(a, "Size").toLongLong(), qint64(bytes.size()));
            QCOMPARE(text(a, "OriginalFileName"), QFileInfo(file).fileName());
            QVERIFY(!text(a, "Type").isEmpty());
            if (uuid == dcp.cplUuid)
                cplListed = true;
            if (file.endsWith(".mxf"))
                trackBytes += static_cast<quint64>(bytes.size());
        }
        QVERIFY(cplListed);
        QCOMPARE(trackBytes, o.totalSize);
        QVERIFY(QFile::exists(dcp.path + "/VOLINDEX.xml"));

        // The same seed gives the same DCP.
        GeneratedDcp again;
        o.outDir = TestSupport::dataDir() + "/gen1b";
        QVERIFY(generateDcp(o, again));
        QCOMPARE(again.cplUuid, dcp.cplUuid);
        QCOMPARE(again.asset("picture:2")->hash, dcp.asset("picture:2")->hash);
    }

    void variantsShapeTheDocuments()
    {
        DcpGeneratorOptions o;
        o.outDir = TestSupport::dataDir() + "/variants";
        o.title = "Stereo";
        o.reels = 6;
        o.totalSize = 6000;
        o.subtitles = true;
        o.seed = 3;
        o.stereo = StereoForm::MspCpl2007;
        o.standard = DcpStandard::Interop;
        o.pklWithoutOriginalFileName = QStringList{"sound:1"};
        o.assetMapExtraAsset = true;
        o.cplPhantomAsset = true;
        o.chunkWithoutLength = true;
        o.xmlComments = true;
        o.crlf = true;
        o.extraAssetListEntries = true;
        GeneratedDcp dcp;
        QString error;
        QVERIFY2(generateDcp(o, dcp, &error), qPrintable(error));
        const QByteArray cplBytes = readAll(dcp.path + "/" + dcp.cplFileName);
        QVERIFY(cplBytes.contains("\r\n"));
        QVERIFY(!cplBytes.contains("\n<") || cplBytes.contains("\r\n<"));
        QVERIFY(cplBytes.contains("http://www.digicine.com/PROTO-ASDCP-CPL-20040511#"));
        QVERIFY(cplBytes.contains(
            "xmlns:msp-cpl=\"http://www.smpte-ra.org/schemas/429-10/2007/Main-Stereo-Picture-CPL\""));
        const QDomElement cpl = xml(dcp.path + "/" + dcp.cplFileName).documentElement();
        QVERIFY(cpl.firstChild().isComment());
        QCOMPARE(cpl.elementsByTagName("msp-cpl:MainStereoscopicPicture").size(), 6);
        QCOMPARE(cpl.elementsByTagName("MainPicture").size(), 0);
        QCOMPARE(cpl.elementsByTagName("axd:AuxData").size(), 6);
        QCOMPARE(cpl.elementsByTagName("MainClosedCaption").size(), 6 + 1); // one phantom
        QCOMPARE(cpl.elementsByTagName("MainMarkers").size(), 6);
        // Six subtitle folders, each with a font of the same name.
        int fonts = 0;
        for (const QString &folder : QDir(dcp.path).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            fonts += QFile::exists(dcp.path + "/" + folder + "/Arial.ttf") ? 1 : 0;
        QCOMPARE(fonts, 6);
        QVERIFY(QFile::exists(dcp.path + "/ASSETMAP"));
        QVERIFY(QFile::exists(dcp.path + "/VOLINDEX"));

        const QByteArray pkl = readAll(dcp.path + "/" + dcp.pklFileName);
        QVERIFY(!pkl.contains("<OriginalFileName>" + QFileInfo(dcp.asset("sound:1")->relativePath).fileName().toUtf8()));
        QVERIFY(pkl.contains("<OriginalFileName>" + QFileInfo(dcp.asset("sound:2")->relativePath).fileName().toUtf8()));
        const QByteArray map = readAll(dcp.path + "/ASSETMAP");
        QVERIFY(!map.contains("<Length>"));
        QVERIFY(map.contains(dcp.asset("extra")->uuid.toUtf8()));
        QVERIFY(!pkl.contains(dcp.asset("extra")->uuid.toUtf8()));
        const QString phantom = dcp.asset("phantom:6")->uuid;
        QVERIFY(cplBytes.contains(phantom.toUtf8()));
        QVERIFY(!map.contains(phantom.toUtf8()));
        QVERIFY(!pkl.contains(phantom.toUtf8()));
        QVERIFY(!pkl.contains(dcp.asset("markers:1")->uuid.toUtf8()));

        DcpGeneratorOptions p;
        p.outDir = TestSupport::dataDir() + "/variants";
        p.title = "Prefixed";
        p.seed = 4;
        p.assetMapPrefixed = true;
        p.oneLine = true;
        p.bareIds = true;
        p.stereo = StereoForm::DefaultNamespace;
        GeneratedDcp prefixed;
        QVERIFY(generateDcp(p, prefixed));
        const QByteArray amBytes = readAll(prefixed.path + "/ASSETMAP.xml");
        QVERIFY(!amBytes.contains('\n'));
        const QDomElement am = xml(prefixed.path + "/ASSETMAP.xml").documentElement();
        QCOMPARE(am.tagName(), QString("am:AssetMap"));
        QCOMPARE(am.elementsByTagName("Asset").size(), 0);
        QVERIFY(am.elementsByTagName("am:Asset").size() > 0);
        const QDomElement stereo = xml(prefixed.path + "/" + prefixed.cplFileName).documentElement();
        QCOMPARE(text(stereo, "Id"), prefixed.cplUuid);
        const QDomElement picture = stereo.elementsByTagName("MainStereoscopicPicture").at(0).toElement();
        QCOMPARE(picture.attribute("xmlns"),
                 QString("http://www.smpte-ra.org/schemas/429-10/2008/Main-Stereo-Picture-CPL"));
    }

    void packageDecryptsWithOpenssl()
    {
        const QString out = TestSupport::dataDir() + "/cli";
        Run g = run(pack(), {"generate", "--out", out, "--reels", "2", "--size", "200000", "--title", "Cli Film",
                             "--subtitles", "--seed", "5"});
        QVERIFY2(g.exitCode == 0, g.err.constData());
        const QList<QByteArray> lines = g.out.trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        const QString dcpDir = QString::fromUtf8(lines[0]);
        const QString uuid = QString::fromUtf8(lines[1]);
        QCOMPARE(QFileInfo(dcpDir).fileName(), QString("Cli Film"));
        QCOMPARE(uuid.size(), 36);

        const QString packagePath = out + "/order.orvdcp";
        Run p = run(pack(), {"pack", "--key", QString::fromUtf8(kKeyText), "--base-url",
                             "http://127.0.0.1:9/assets/{dcp}", "--out", packagePath, "--user-uuid",
                             "11111111-2222-3333-4444-555555555555", "--campaign-dcp-id", "4521", "--reels", "2",
                             dcpDir});
        QVERIFY2(p.exitCode == 0, p.err.constData());
        const QByteArray file = readAll(packagePath);
        QVERIFY(file.size() > 16);

        Run o = run("openssl", {"enc", "-d", "-aes-256-cfb8", "-K", QString::fromLatin1(kKeyText.left(32).toHex()),
                                "-iv", QString::fromLatin1(file.left(16).toHex()), "-nopad"},
                    file.mid(16));
        QVERIFY2(o.exitCode == 0, o.err.constData());
        QJsonParseError parseError{};
        const QJsonObject json = QJsonDocument::fromJson(o.out, &parseError).object();
        QVERIFY2(parseError.error == QJsonParseError::NoError, qPrintable(parseError.errorString()));
        QCOMPARE(json["version"].toVariant().toLongLong(), 20170613LL);
        QCOMPARE(json["user_uuid"].toString(), QString("11111111-2222-3333-4444-555555555555"));
        const QJsonArray dcps = json["dcps"].toArray();
        QCOMPARE(dcps.size(), 1);
        const QJsonObject dcp = dcps[0].toObject();
        for (const char *key : {"dcp_uuid", "campaign_dcp_id", "friendly_title", "cpl_xml", "cpl_xml_name", "pkl_xml",
                                "pkl_xml_name", "asset_map_xml", "volindex_xml", "dcp_image_url", "reels", "assets"})
            QVERIFY2(dcp.contains(key), key);
        QCOMPARE(dcp["dcp_uuid"].toString(), uuid);
        QCOMPARE(dcp["campaign_dcp_id"].toInt(), 4521);
        QCOMPARE(dcp["friendly_title"].toString(), QString("Cli Film"));
        QCOMPARE(dcp["reels"].toArray(), QJsonArray{2});
        const QString cplName = "CPL_" + uuid + ".xml";
        QCOMPARE(dcp["cpl_xml_name"].toString(), cplName);
        QCOMPARE(QByteArray::fromBase64(dcp["cpl_xml"].toString().toLatin1()), readAll(dcpDir + "/" + cplName));
        QCOMPARE(QByteArray::fromBase64(dcp["pkl_xml"].toString().toLatin1()),
                 readAll(dcpDir + "/" + dcp["pkl_xml_name"].toString()));
        QCOMPARE(QByteArray::fromBase64(dcp["asset_map_xml"].toString().toLatin1()), readAll(dcpDir + "/ASSETMAP.xml"));
        QCOMPARE(QByteArray::fromBase64(dcp["volindex_xml"].toString().toLatin1()), readAll(dcpDir + "/VOLINDEX.xml"));

        // Every PKL asset with a file but the CPL, with its URL under the base URL.
        const QJsonArray assets = dcp["assets"].toArray();
        QCOMPARE(assets.size(), 2 * 4);
        qint64 total = 0;
        for (const QJsonValue &v : assets) {
            const QJsonArray pair = v.toArray();
            QCOMPARE(pair.size(), 2);
            QCOMPARE(pair[0].toString().size(), 36);
            const QString u = pair[1].toString();
            QVERIFY2(u.startsWith("http://127.0.0.1:9/assets/Cli%20Film/"), qPrintable(u));
            const QString relative = QUrl::fromPercentEncoding(u.mid(QString("http://127.0.0.1:9/assets/Cli%20Film/").size()).toUtf8());
            QVERIFY2(QFileInfo(dcpDir + "/" + relative).isFile(), qPrintable(relative));
            total += QFileInfo(dcpDir + "/" + relative).size();
        }
        QCOMPARE(json["project_size"].toVariant().toLongLong(), total);

        // The decrypt command gives the same document.
        Run d = run(pack(), {"decrypt", "--key", QString::fromUtf8(kKeyText), packagePath});
        QCOMPARE(d.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(d.out).object(), json);
    }

    void packOptionsAndOverrides()
    {
        const QString out = TestSupport::dataDir() + "/over";
        Run g = run(pack(), {"generate", "--out", out, "--size", "1000", "--seed", "9"});
        QCOMPARE(g.exitCode, 0);
        const QString dcpDir = QString::fromUtf8(g.out.split('\n')[0]);
        const QString packagePath = out + "/bad.orvdcp";
        Run p = run(pack(), {"pack", "--key", QString::fromUtf8(kKeyText), "--base-url", "http://h/a", "--out",
                             packagePath, "--version", "20170614", "--project-size", "77", "--json-override",
                             R"({"user_uuid": null, "dcps": [{"reels": [], "campaign_dcp_id": "12"}]})", dcpDir});
        QVERIFY2(p.exitCode == 0, p.err.constData());
        QByteArray plain;
        QVERIFY(decryptPackage(kKeyText, readAll(packagePath), plain));
        const QJsonObject json = QJsonDocument::fromJson(plain).object();
        QCOMPARE(json["version"].toInt(), 20170614);
        QCOMPARE(json["project_size"].toInt(), 77);
        QVERIFY(!json.contains("user_uuid"));
        const QJsonObject dcp = json["dcps"].toArray()[0].toObject();
        QVERIFY(dcp["reels"].toArray().isEmpty());
        QVERIFY(dcp["campaign_dcp_id"].isString());
        QVERIFY(dcp.contains("cpl_xml"));

        // Plain bytes that are not JSON.
        QFile junk(out + "/junk.txt");
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not json at all");
        junk.close();
        p = run(pack(), {"pack", "--key", QString::fromUtf8(kKeyText), "--out", packagePath, "--plaintext",
                         out + "/junk.txt"});
        QCOMPARE(p.exitCode, 0);
        QVERIFY(decryptPackage(kKeyText, readAll(packagePath), plain));
        QCOMPARE(plain, QByteArray("not json at all"));

        // A key shorter than 32 bytes is refused.
        p = run(pack(), {"pack", "--key", "too short", "--base-url", "http://h", "--out", packagePath, dcpDir});
        QVERIFY(p.exitCode != 0);
        QVERIFY(p.err.contains("32 bytes"));

        Run help = run(pack(), {"--help"});
        QCOMPARE(help.exitCode, 0);
        for (const char *option : {"--key", "--base-url", "--out", "--user-uuid", "--campaign-dcp-id",
                                   "--friendly-title", "--image-url", "--reels", "--version", "--project-size",
                                   "--json-override", "--subtitles", "--seed", "--stereo", "decrypt"})
            QVERIFY2(help.out.contains(option), option);
    }

    void keyIsTheFirst32BytesBeforeAZero()
    {
        QCOMPARE(packageKey(kKeyText), kKeyText.left(32));
        QVERIFY(packageKey(QByteArray("0123456789abcdef0123456789abcde")).isEmpty());
        QVERIFY(packageKey(QByteArray("0123456789\0abcdef0123456789abcdefghij", 37)).isEmpty());
        QByteArray file;
        QVERIFY(encryptPackage(kKeyText, "{\"a\":1}", file, nullptr, QByteArray(16, 'i')));
        QCOMPARE(file.left(16), QByteArray(16, 'i'));
        QCOMPARE(file.size(), 16 + 7);
        QByteArray plain;
        // Any key text sharing the first 32 bytes decrypts it.
        QVERIFY(decryptPackage(kKeyText.left(32) + "zzz", file, plain));
        QCOMPARE(plain, QByteArray("{\"a\":1}"));
        QVERIFY(decryptPackage(kKeyText, file.left(16), plain));
        QVERIFY(plain.isEmpty());
        // Two packages of the same text differ (random vectors).
        QByteArray a, b;
        QVERIFY(encryptPackage(kKeyText, "same", a));
        QVERIFY(encryptPackage(kKeyText, "same", b));
        QVERIFY(a != b);
    }

    void mergeJsonRules()
    {
        const QJsonObject base{{"a", 1}, {"b", QJsonObject{{"c", 2}, {"d", 3}}},
                               {"dcps", QJsonArray{QJsonObject{{"x", 1}, {"y", 2}}}}};
        const QJsonObject merged = mergeJson(
            base, QJsonObject{{"a", "one"}, {"b", QJsonObject{{"c", QJsonValue()}}},
                              {"dcps", QJsonArray{QJsonObject{{"y", 5}}, QJsonObject{{"z", 1}}}}});
        QCOMPARE(merged["a"].toString(), QString("one"));
        QCOMPARE(merged["b"].toObject(), (QJsonObject{{"d", 3}}));
        QCOMPARE(merged["dcps"].toArray().size(), 2);
        QCOMPARE(merged["dcps"].toArray()[0].toObject(), (QJsonObject{{"x", 1}, {"y", 5}}));
    }
};

TOLVANE_TEST_MAIN(TestPackTool)

#include "tst_PackTool.moc"
