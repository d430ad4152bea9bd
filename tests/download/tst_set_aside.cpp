// DCPs set aside while the others go on: the causes and their words, the box shown once
// per cause, the DCPs of a full drive, the look at a drive before a transfer and the looks
// that bring DCPs back; then the engine against a small drive (a tmpfs mounted by the
// test, and an ext4 image with reserved blocks, which need root): a resume needs room only
// for what its file lacks, room for what is left brings a DCP back, and blocks reserved for
// the administrator are no room for an ordinary user.

#include "DownloadFixture.h"

#include "download/DownloadManager.h"
#include "download/SetAsideDcps.h"
#include "portal/NotificationManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace DownloadFixture;
using Cause = SetAsideDcps::Cause;
using Room = SetAsideDcps::Room;

namespace {

const QString kDiskText = "Not enough disk space";
const QString kDiskInformative = "You have ran out of disk space so we paused your download.\r\n\r\nPlease free up some "
                                 "space and hit the resume button once you're ready.";

// Writes zeros into path until the file system is full.
bool fillUp(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    char block[4096] = {};
    for (;;) {
        const ssize_t n = ::write(fd, block, sizeof block);
        if (n <= 0)
            break;
    }
    while (::write(fd, block, 1) == 1) {
    }
    const bool full = errno == ENOSPC;
    ::close(fd);
    return full;
}

// A file of zeros that leaves `room` bytes the user may write on the drive of folder.
bool leaveRoom(const QString &folder, quint64 room)
{
    const QString path = folder + "/filler";
    QFile::remove(path);
    const quint64 available = FileManager::diskSpace(folder).bytesAvailable;
    if (available < room)
        return false;
    QFile filler(path);
    if (!filler.open(QIODevice::WriteOnly))
        return false;
    const QByteArray zeros(int(available - room), '\0');
    return filler.write(zeros) == zeros.size();
}

}

class TestSetAside : public QObject
{
    Q_OBJECT

private:
    PortalStandin standin;
    ScriptedUserInteraction *ui = nullptr;
    DownloadManager *manager = nullptr;
    QString tiny;
    bool mounted = false;
    // Boxes the set-aside DCPs of the unit cases asked to show.
    QList<UserInteraction::Message> boxes;
    QList<DCP *> made;

    void clearTiny()
    {
        if (!mounted)
            return;
        for (const QFileInfo &entry : QDir(tiny).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
            if (entry.isDir() && !entry.isSymLink())
                QDir(entry.absoluteFilePath()).removeRecursively();
            else
                QFile::remove(entry.absoluteFilePath());
        }
    }

    void checkDiskBox(const UserInteraction::Message &m)
    {
        QCOMPARE(int(m.icon), int(UserInteraction::Icon::Critical));
        QCOMPARE(m.text, kDiskText);
        QCOMPARE(m.informativeText, kDiskInformative);
        QCOMPARE(m.buttons, UserInteraction::Buttons(UserInteraction::Ok));
    }

    // A catalogue DCP the engine does not download (stored without asking for the queue),
    // removed again after the case.
    DCP *listed(const QString &title, quint64 seed, const QString &downloadPath, quint64 size = 300000)
    {
        const GeneratedDcp generated = generate(title, 1, size, seed);
        DCP *dcp = buildDcp(standin, generated, 9800 + seed, downloadPath);
        store(dcp, false);
        made.append(dcp);
        return dcp;
    }

    SetAsideDcps *fresh()
    {
        boxes.clear();
        return new SetAsideDcps(
            [this](const UserInteraction::Message &box) {
                boxes.append(box);
                return UserInteraction::Ok;
            },
            this);
    }

private slots:
    void initTestCase()
    {
        ui = new ScriptedUserInteraction();
        manager = startEngine(standin, 1500);
        tiny = TestSupport::dataDir() + "/tiny";
        QDir().mkpath(tiny);
        mounted = QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=3m", "tmpfs", tiny}) == 0;
    }

    void cleanup()
    {
        for (DCP *dcp : qAsConst(made))
            QVERIFY(manager->removeDownload(dcp));
        made.clear();
        standin.clearAssetFaults();
        ui->messages.clear();
        clearTiny();
    }

    // Links refused: the DCP is passed by with its words, its box is offered once, and
    // fresh links bring it back (and its box may be shown again).
    void refusedLinksAndTheirBox()
    {
        SetAsideDcps *aside = fresh();
        DCP *dcp = listed("Aside_Links", 1, downloadRoot());
        QSignalSpy setAside(aside, &SetAsideDcps::dcpSetAside);
        QSignalSpy back(aside, &SetAsideDcps::dcpBack);
        QSignalSpy changed(aside, &SetAsideDcps::changed);
        aside->setAside(dcp, Cause::LinksRefused);
        QVERIFY(aside->contains(dcp->uuid()));
        QCOMPARE(aside->count(), 1);
        QCOMPARE(setAside.size(), 1);
        QCOMPARE(setAside.at(0).at(0).value<DCP *>(), dcp);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(dcp->setAsideText(), QString("Links expired: open a fresh package from Tarn"));
        QVERIFY(aside->firstLinksBox(dcp->uuid()));
        QVERIFY(!aside->firstLinksBox(dcp->uuid()));
        // The space looks bring back only DCPs set aside for space.
        aside->recheckSpace();
        QVERIFY(aside->contains(dcp->uuid()));

        aside->bringBack(dcp);
        QCOMPARE(back.size(), 1);
        QCOMPARE(aside->count(), 0);
        QVERIFY(dcp->setAsideText().isEmpty());
        QVERIFY(aside->firstLinksBox(dcp->uuid()));
        // Nothing to bring back or release twice.
        aside->bringBack(dcp);
        QCOMPARE(back.size(), 1);
        QVERIFY(!aside->release(dcp));
        QVERIFY(boxes.isEmpty());
    }

    // The operator starts a DCP set aside: it is released without going through the queue's
    // rebuild; a removed DCP is forgotten with its words.
    void releasedAndForgotten()
    {
        SetAsideDcps *aside = fresh();
        DCP *started = listed("Aside_Started", 2, downloadRoot());
        DCP *removed = listed("Aside_Removed", 3, downloadRoot());
        aside->setAside(started, Cause::LinksRefused);
        aside->setAside(removed, Cause::NoSpace, "/some/drive");
        QCOMPARE(removed->setAsideText(), QString("Not enough space on /some/drive"));
        QSignalSpy back(aside, &SetAsideDcps::dcpBack);
        QVERIFY(aside->release(started));
        QVERIFY(started->setAsideText().isEmpty());
        aside->forget(removed);
        QVERIFY(removed->setAsideText().isEmpty());
        QCOMPARE(aside->count(), 0);
        QCOMPARE(back.size(), 0);
    }

    // A full drive: every unfinished DCP bound for it is passed by, and the DCP whose transfer
    // found it full; DCPs of other drives and finished ones are not. The box once per drive.
    void fullDriveSetsAsideItsDcpsOnly()
    {
        if (!mounted)
            QSKIP("mounting a tmpfs needs root");
        SetAsideDcps *aside = fresh();
        DCP *first = listed("Full_First", 4, tiny);
        DCP *second = listed("Full_Second", 5, tiny);
        DCP *elsewhere = listed("Full_Elsewhere", 6, downloadRoot());
        DCP *current = listed("Full_Current", 7, downloadRoot());
        DCP *finished = listed("Full_Finished", 8, tiny);
        for (Asset *asset : finished->getAssets()) {
            asset->setDownloadFinished(true);
            asset->setDownloadChecksummed(true);
        }
        const QString drive = FileManager::volumeRoot(tiny);
        QVERIFY(!drive.isEmpty() && drive != FileManager::volumeRoot(downloadRoot()));
        aside->setAsideDrive(drive, nullptr);
        QVERIFY(aside->contains(first->uuid()) && aside->contains(second->uuid()));
        QVERIFY(!aside->contains(elsewhere->uuid()) && !aside->contains(finished->uuid()));
        QCOMPARE(first->setAsideText(), QString("Not enough space on %1").arg(drive));
        QCOMPARE(boxes.size(), 1);
        checkDiskBox(boxes.at(0));
        aside->setAsideDrive(drive, current);
        QVERIFY(aside->contains(current->uuid()));
        QCOMPARE(boxes.size(), 1);
    }

    // A DCP waiting for room comes back once the drive has room for all the DCP still lacks
    // (what its files hold is there already), and only once the drive has more room than when
    // it was found full.
    void recheckBringsBackWhatFitsOnAChangedDrive_data()
    {
        QTest::addColumn<quint64>("roomWhenAside");
        QTest::addColumn<quint64>("roomAtRecheck");
        QTest::addColumn<bool>("comesBack");
        // The DCP lacks 200,000 of its 300,000 bytes.
        QTest::newRow("less room than it lacks") << quint64(100000) << quint64(150000) << false;
        QTest::newRow("room for what it lacks") << quint64(100000) << quint64(260000) << true;
        QTest::newRow("room, but no more than when it stopped") << quint64(400000) << quint64(400000) << false;
        QTest::newRow("room, and more than when it stopped") << quint64(400000) << quint64(600000) << true;
    }

    void recheckBringsBackWhatFitsOnAChangedDrive()
    {
        if (!mounted)
            QSKIP("mounting a tmpfs needs root");
        QFETCH(quint64, roomWhenAside);
        QFETCH(quint64, roomAtRecheck);
        QFETCH(bool, comesBack);
        SetAsideDcps *aside = fresh();
        const GeneratedDcp generated =
            generate(QString("Recheck_%1_%2").arg(roomWhenAside).arg(roomAtRecheck), 1, 300000, 9 + roomAtRecheck);
        DCP *dcp = buildDcp(standin, generated, 9809, tiny);
        store(dcp, false);
        made.append(dcp);
        quint64 total = 0;
        for (const GeneratedAsset &source : trackAssets(generated)) {
            total += source.size;
            QVERIFY(writePrefix(sourcePath(generated, source), assetOf(dcp, source)->filePath(), qint64(source.size / 3)));
        }
        quint64 lacking = 0;
        for (Asset *asset : dcp->getAssets())
            lacking += SetAsideDcps::bytesStillToFetch(asset);
        QVERIFY2(lacking > 150000 && lacking < 260000, qPrintable(QString::number(lacking)));
        QVERIFY(leaveRoom(tiny, roomWhenAside));
        aside->setAside(dcp, Cause::NoSpace, FileManager::volumeRoot(tiny));
        QVERIFY(leaveRoom(tiny, roomAtRecheck));
        QSignalSpy back(aside, &SetAsideDcps::dcpBack);
        aside->recheckSpace();
        QCOMPARE(back.size(), comesBack ? 1 : 0);
        QCOMPARE(aside->contains(dcp->uuid()), !comesBack);
        QVERIFY(total > lacking);
    }

    // The look before a transfer: room for what the file lacks, not its whole size; a drive
    // that does not answer is told in its own box, not as a full one.
    void roomForATransfer_data()
    {
        QTest::addColumn<qint64>("onDisk");   // bytes of the picture already in its file
        QTest::addColumn<quint64>("room");    // room the drive leaves
        QTest::addColumn<int>("expected");
        QTest::newRow("nothing yet, room for it all") << qint64(0) << quint64(400000) << int(Room::Enough);
        QTest::newRow("nothing yet, too little room") << qint64(0) << quint64(100000) << int(Room::Full);
        QTest::newRow("most of it there, room for the rest") << qint64(200000) << quint64(150000) << int(Room::Enough);
        QTest::newRow("all of it there") << qint64(-1) << quint64(0) << int(Room::Enough);
    }

    void roomForATransfer()
    {
        if (!mounted)
            QSKIP("mounting a tmpfs needs root");
        QFETCH(qint64, onDisk);
        QFETCH(quint64, room);
        QFETCH(int, expected);
        SetAsideDcps *aside = fresh();
        const GeneratedDcp generated = generate(QString("Room_%1_%2").arg(onDisk).arg(room), 1, 400000, 40 + room);
        DCP *dcp = buildDcp(standin, generated, 9850, tiny);
        store(dcp, false);
        made.append(dcp);
        const GeneratedAsset &source = *generated.asset("picture:1");
        Asset *picture = assetOf(dcp, source);
        if (onDisk != 0)
            QVERIFY(writePrefix(sourcePath(generated, source), picture->filePath(), onDisk < 0 ? qint64(source.size) : onDisk));
        QVERIFY(leaveRoom(tiny, room));
        QString drive;
        QCOMPARE(int(aside->roomForTransfer(picture, &drive)), expected);
        QCOMPARE(drive, expected == int(Room::Full) ? FileManager::volumeRoot(tiny) : QString());
        QVERIFY(boxes.isEmpty());
    }

    void unreadableDriveIsNotAFullOne()
    {
        SetAsideDcps *aside = fresh();
        DCP *dcp = listed("Room_Unreadable", 60, downloadRoot());
        const QString folder = dcp->downloadPath() + "/" + dcp->title();
        QDir(folder).removeRecursively();
        QVERIFY(QFile::link(folder, folder));
        const auto restore = qScopeGuard([&] {
            QFile::remove(folder);
            QDir().mkpath(folder);
        });
        QString drive;
        QCOMPARE(aside->roomForTransfer(dcp->getAssets().first(), &drive), Room::Unreadable);
        QVERIFY(drive.isEmpty());
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.at(0).text, QString("Unable to write the download"));
        QVERIFY(boxes.at(0).informativeText.contains(folder));
    }

    // A failed write: a full drive or a quota, or another error while the drive has less
    // room than the file lacks, is a full drive; any other error is not.
    void failedWriteOnAFullDrive_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<quint64>("room");
        QTest::addColumn<bool>("full");
        QTest::newRow("no room left") << ENOSPC << quint64(2000000) << true;
        QTest::newRow("quota") << EDQUOT << quint64(2000000) << true;
        QTest::newRow("I/O error on a roomy drive") << EIO << quint64(2000000) << false;
        QTest::newRow("I/O error, less room than the file lacks") << EIO << quint64(50000) << true;
    }

    void failedWriteOnAFullDrive()
    {
        if (!mounted)
            QSKIP("mounting a tmpfs needs root");
        QFETCH(int, error);
        QFETCH(quint64, room);
        QFETCH(bool, full);
        DCP *dcp = listed(QString("Write_%1_%2").arg(error).arg(room), 70 + quint64(error), tiny);
        Asset *asset = dcp->getAssets().first();
        QVERIFY(leaveRoom(tiny, room));
        QCOMPARE(SetAsideDcps::driveIsFull(asset->filePath(), error, asset), full);
    }

    void bytesStillToFetch()
    {
        const GeneratedDcp generated = generate("Still_To_Fetch", 1, 300000, 80);
        DCP *dcp = buildDcp(standin, generated, 9880);
        store(dcp, false);
        made.append(dcp);
        const GeneratedAsset &source = *generated.asset("picture:1");
        Asset *picture = assetOf(dcp, source);
        QCOMPARE(SetAsideDcps::bytesStillToFetch(picture), source.size);
        QVERIFY(writePrefix(sourcePath(generated, source), picture->filePath(), 1000));
        QCOMPARE(SetAsideDcps::bytesStillToFetch(picture), source.size - 1000);
        QVERIFY(writePrefix(sourcePath(generated, source), picture->filePath(), qint64(source.size)));
        QCOMPARE(SetAsideDcps::bytesStillToFetch(picture), quint64(0));
    }

    // A DCP that fits the drive with a little to spare: a stall late in its largest file
    // resumes that file. Its bytes on disk are on the drive already, so the room the resume
    // needs is what the file still lacks, not its whole size.
    void resumeNeedsRoomOnlyForWhatIsLeft()
    {
        if (!mounted)
            QSKIP("mounting a tmpfs needs root");
        clearTiny();
        const GeneratedDcp generated = generate("Fits_Tightly", 1, 2800000, 910);
        const GeneratedAsset picture = *generated.asset("picture:1");
        quint64 total = 0;
        for (const GeneratedAsset &a : trackAssets(generated))
            total += a.size;
        const FileManager::DiskSpace empty = FileManager::diskSpace(tiny);
        QVERIFY2(total < empty.bytesAvailable && empty.bytesAvailable - total < 500000, "the DCP must fit tightly");
        AssetFault stalls;
        stalls.stallAfter = qint64(picture.size) * 3 / 4;
        standin.setAssetFault(relativePath(generated, picture), stalls);
        DCP *dcp = buildDcp(standin, generated, 9910, tiny);
        Asset *asset = assetOf(dcp, picture);
        standin.clearAssetRequests();
        store(dcp);

        QTRY_COMPARE_WITH_TIMEOUT(requestsFor(standin, relativePath(generated, picture)).size(), size_t(2), 15000);
        standin.clearAssetFaults();
        QVERIFY(waitVerifiedAndSynced(dcp, 30000));
        QVERIFY(!dcp->isSetAside());
        QVERIFY2(ui->messages.isEmpty(), qPrintable(ui->messages.value(0).text));
        const auto requests = requestsFor(standin, relativePath(generated, picture));
        QCOMPARE(requests.size(), size_t(2));
        QCOMPARE(QString::fromStdString(requests[1].range), QString("bytes=%1-").arg(stalls.stallAfter));
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QCOMPARE(asset->downloadAttempts(), 0u);
        QVERIFY(manager->removeDownload(dcp));
    }

    // The drive fills in the middle of a file. Room is then freed for all the DCP still
    // lacks, though not for its whole largest file: the next look at the drive brings the
    // DCP back, and it completes with no second box.
    void roomForWhatIsLeftBringsTheDcpBack()
    {
        if (!mounted)
            QSKIP("mounting a tmpfs needs root");
        clearTiny();
        const GeneratedDcp generated = generate("Fills_Then_Fits", 1, 2000000, 911);
        const GeneratedAsset picture = *generated.asset("picture:1");
        manager->setReadChunkSize(250000);
        manager->setAsideDcps()->spaceRecheckInterval = 200;
        AssetFault slow;
        slow.throttleBytesPerSecond = 300000;
        standin.setAssetFault(relativePath(generated, picture), slow);
        DCP *dcp = buildDcp(standin, generated, 9911, tiny);
        Asset *asset = assetOf(dcp, picture);
        store(dcp);
        QTRY_VERIFY_WITH_TIMEOUT(asset->sizeOnDisk() > 1100000, 15000);
        const QString filler = tiny + "/filler";
        QVERIFY(fillUp(filler));
        QTRY_VERIFY_WITH_TIMEOUT(dcp->isSetAside(), 10000);
        QCOMPARE(ui->messages.size(), 1);
        checkDiskBox(ui->messages.at(0));
        // Still full a few looks later: the DCP stays aside and nothing is asked for.
        standin.clearAssetRequests();
        QTest::qWait(700);
        QVERIFY(dcp->isSetAside());
        QVERIFY(standin.assetRequests().empty());

        // Room for what is left and 200 kB more, less than the picture's whole size.
        quint64 left = 0;
        for (const GeneratedAsset &a : trackAssets(generated))
            left += SetAsideDcps::bytesStillToFetch(assetOf(dcp, a));
        QVERIFY(QFile::remove(filler));
        const quint64 freeNow = FileManager::diskSpace(tiny).bytesAvailable;
        QVERIFY(freeNow > left + 200000);
        {
            QFile keep(filler);
            QVERIFY(keep.open(QIODevice::WriteOnly));
            QVERIFY(keep.write(QByteArray(int(freeNow - left - 200000), '\0')) > 0);
        }
        QVERIFY2(FileManager::diskSpace(tiny).bytesAvailable < picture.size, "the whole picture must not fit");
        standin.clearAssetFaults();
        manager->setReadChunkSize(1000000000);
        QTRY_VERIFY_WITH_TIMEOUT(!dcp->isSetAside(), 5000);
        QVERIFY(waitVerifiedAndSynced(dcp));
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QCOMPARE(ui->messages.size(), 1);
        QCOMPARE(asset->downloadAttempts(), 0u);
        manager->setAsideDcps()->spaceRecheckInterval = 30000;
        QVERIFY(QFile::remove(filler));
        QVERIFY(manager->removeDownload(dcp));
    }

    // Blocks that ext2/3/4 reserve for the administrator are no room for an operator's
    // download: run as an ordinary user, the engine sends no request for a file that fits
    // only in them, sets its DCP aside and says so once. (As root, the test mounts the
    // file system and runs the engine as another user.)
    void reservedBlocksAreNoRoomForAnOrdinaryUser()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a file system and running as another user need root");
        if (QStandardPaths::findExecutable("mkfs.ext4").isEmpty() || QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("mkfs.ext4 or setpriv is missing");
        // A folder the other user can reach, whatever folder the build is in.
        QTemporaryDir shared("/tmp/tolvane-reserved-XXXXXX");
        QVERIFY(shared.isValid());
        QVERIFY(QFile::setPermissions(shared.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                          | QFile::ReadOther | QFile::ExeOther));
        const QString image = shared.path() + "/ext4.img";
        const QString drive = shared.path() + "/drive";
        const QString dataDir = shared.path() + "/data";
        QVERIFY(QDir().mkpath(drive) && QDir().mkpath(dataDir + "/tmp"));
        QCOMPARE(QProcess::execute("truncate", {"-s", "24M", image}), 0);
        QCOMPARE(QProcess::execute("mkfs.ext4", {"-q", "-F", "-m", "25", image}), 0);
        if (QProcess::execute("mount", {"-o", "loop", image, drive}) != 0)
            QSKIP("this machine cannot loop-mount an ext4 image");
        const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {"-l", drive}); });
        const GeneratedDcp generated = generate("Reserved_Blocks", 1, 4000000, 912);
        const GeneratedAsset picture = *generated.asset("picture:1");
        // The DCP's folder is there already, as the import leaves it.
        QVERIFY(QDir().mkpath(drive + "/" + generated.title));
        const QString user = "65534";
        QCOMPARE(QProcess::execute("chown", {"-R", user + ":" + user, drive, dataDir}), 0);
        const QString probe = shared.path() + "/download_probe";
        QVERIFY(QFile::copy(TestSupport::builtExecutable("tests/download/download_probe"), probe));

        // Fill the drive until the picture fits in the reserved blocks only.
        const FileManager::DiskSpace before = FileManager::diskSpace(drive);
        const quint64 reserved = before.bytesFree - before.bytesAvailable;
        QVERIFY2(reserved > 4 * 1024 * 1024, qPrintable(QString::number(reserved)));
        QVERIFY(before.bytesAvailable > picture.size);
        {
            QFile filler(drive + "/filler");
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const quint64 fill = before.bytesAvailable - picture.size + reserved / 2;
            QVERIFY(filler.write(QByteArray(int(fill), '\0')) == qint64(fill));
        }
        const FileManager::DiskSpace space = FileManager::diskSpace(drive);
        QVERIFY2(space.bytesAvailable < picture.size && space.bytesFree > picture.size + 1024 * 1024,
                 qPrintable(QString("%1 available, %2 free").arg(space.bytesAvailable).arg(space.bytesFree)));

        QJsonArray assets;
        for (const GeneratedAsset &a : trackAssets(generated)) {
            const QFileInfo rel(a.relativePath);
            assets.append(QJsonObject{{"uuid", a.uuid}, {"hash", a.hash}, {"size", double(a.size)}, {"type", a.type},
                                      {"file", rel.fileName()}, {"dir", rel.path() == "." ? QString() : rel.path()},
                                      {"url", QString::fromStdString(standin.assetUrl(relativePath(generated, a)))},
                                      {"reel", reelNumberOf(a)}});
        }
        const QJsonObject description{{"uuid", generated.cplUuid}, {"title", generated.title}, {"download_path", drive},
                                      {"user_uuid", userUuid()}, {"campaign_dcp_id", 9912.0},
                                      {"reels", QJsonArray{generated.reelUuids.first()}}, {"assets", assets}};
        const QString descriptionPath = shared.path() + "/description.json";
        {
            QFile file(descriptionPath);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(QJsonDocument(description).toJson()) > 0);
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TOLVANE_DATA_DIR", dataDir);
        env.insert("TOLVANE_NOTIFICATION_URL", QString::fromStdString(standin.baseUrl()));
        env.insert("TMPDIR", dataDir + "/tmp");
        env.insert("HOME", dataDir);
        env.insert("PROBE_STALL_MS", "1500");
        const auto runAsUser = [&](const QStringList &arguments, QString *output) {
            QProcess process;
            process.setProcessEnvironment(env);
            process.start("setpriv", QStringList{"--reuid=" + user, "--regid=" + user, "--clear-groups", probe} + arguments);
            const bool finished = process.waitForFinished(40000);
            if (!finished) {
                process.kill();
                process.waitForFinished();
            }
            *output = QString::fromUtf8(process.readAllStandardOutput());
            if (!finished || process.exitCode() != 0)
                qWarning() << process.readAllStandardError().right(3000);
            return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        };
        QString output;
        QVERIFY(runAsUser({"add", descriptionPath}, &output));
        standin.clearAssetRequests();
        QVERIFY(runAsUser({"run"}, &output));
        QVERIFY2(requestsFor(standin, relativePath(generated, picture)).empty(), qPrintable(output));
        QCOMPARE(output.count("BOX Not enough disk space"), 1);
        QVERIFY2(output.contains(QString("ASSET %1 0 0 0 0 0").arg(picture.uuid)), qPrintable(output));
    }

    void cleanupTestCase()
    {
        standin.stop();
        if (mounted)
            QProcess::execute("umount", {"-l", tiny});
    }
};

TOLVANE_TEST_MAIN(TestSetAside)
#include "tst_set_aside.moc"
