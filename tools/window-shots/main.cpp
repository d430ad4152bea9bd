// Renders the real window offscreen over a generated catalogue and writes one PNG per view:
// the empty catalogue, a grid with a card in every status, a DCP page whose reel lines show
// every state, and a search without result. Usage: window-shots OUT_DIR

#include "app/WindowContext.h"
#include "PortalStandin.h"
#include "SampleCatalogue.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Reel.h"
#include "catalogue/Setting.h"
#include "download/Asset.h"
#include "download/DownloadManager.h"
#include "download/SpeedScheduler.h"
#include "portal/NotificationManager.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLinearGradient>
#include <QMetaObject>
#include <QPainter>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextStream>
#include <QUrl>

#include <cstdio>

namespace {

QString g_root;

void wait(int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// A poster: a gradient with the title, as a distributor's cover would look.
QString poster(const QString &title, const QColor &top, const QColor &bottom)
{
    QImage image(400, 606, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 0, image.height());
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    painter.fillRect(image.rect(), gradient);
    painter.setPen(QColor(255, 255, 255, 230));
    QFont font("DejaVu Sans", 26, QFont::Bold);
    painter.setFont(font);
    painter.drawText(image.rect().adjusted(30, 0, -30, -120), Qt::AlignHCenter | Qt::AlignBottom | Qt::TextWordWrap,
                     title.toUpper());
    painter.end();
    const QString path = g_root + "/covers/" + QString(title).replace(' ', '_') + ".png";
    QDir().mkpath(QFileInfo(path).absolutePath());
    image.save(path);
    return QUrl::fromLocalFile(path).toString();
}

using SampleCatalogue::SampleReel;

SampleReel reel(quint64 size, bool finished, bool checksummed, bool corrupted = false, const QString &url = QString())
{
    SampleReel r;
    r.size = size;
    r.finished = finished;
    r.checksummed = checksummed;
    r.corrupted = corrupted;
    r.url = url;
    return r;
}

DCP *addDcp(const QString &title, const QList<SampleReel> &reels, const QString &image)
{
    return SampleCatalogue::addDcp(title.toUpper().replace(' ', '_') + "_FTR_S_EN-XX_51_2K_20260101_TLV_OV", title,
                                   reels, image, g_root + "/downloads");
}

void partFile(Asset *asset, int bytes)
{
    QDir().mkpath(QFileInfo(asset->filePath()).absolutePath());
    QFile file(asset->filePath());
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray(bytes, 'x'));
}

QQuickItem *findItem(QQuickItem *root, const QString &name)
{
    if (root->objectName() == name)
        return root;
    for (QQuickItem *child : root->childItems()) {
        if (QQuickItem *found = findItem(child, name))
            return found;
    }
    return nullptr;
}

bool shoot(QQuickWindow *window, const QString &path)
{
    wait(400);
    const QPixmap picture = window->screen()->grabWindow(window->winId());
    if (picture.isNull() || !picture.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// The status bar alone: the strip along the window's bottom edge.
bool shootStatusBar(QQuickWindow *window, const QString &path)
{
    wait(400);
    QQuickItem *bar = findItem(window->contentItem(), "statusBar");
    const QPixmap picture = window->screen()->grabWindow(window->winId());
    if (!bar || picture.isNull())
        return false;
    const QRectF area = bar->mapRectToScene(QRectF(0, 0, bar->width(), bar->height()));
    if (!picture.copy(area.toRect()).save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

bool waitForActivity(DownloadManager *manager, const QString &activity, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (manager->activity() != activity) {
        if (timer.elapsed() > milliseconds) {
            std::fprintf(stderr, "the engine never reached \"%s\" (it is \"%s\")\n", qPrintable(activity),
                         qPrintable(manager->activity()));
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

QQuickWindow *openWindow(QQmlApplicationEngine &engine)
{
    WindowContext::expose(engine);
    engine.load(QUrl("qrc:///main.qml"));
    if (engine.rootObjects().isEmpty())
        return nullptr;
    return qobject_cast<QQuickWindow *>(engine.rootObjects().first());
}

}

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
        return 2;
    }
    QTemporaryDir data;
    g_root = data.path();
    qputenv("TOLVANE_DATA_DIR", g_root.toUtf8());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(out);

    Setting::instance()->set("download_paused", "0");
    Setting::instance()->set("download_limit", "120");
    Setting::instance()->save();
    DCPManager::instance();
    DownloadManager *manager = DownloadManager::instance();

    PortalStandin standin;
    if (!standin.start())
        return 1;
    standin.setAssetRoot((g_root + "/assets").toStdString());
    // Reel events go to the stand-in, never to Tarn.
    qputenv("TOLVANE_NOTIFICATION_URL", QByteArray::fromStdString(standin.baseUrl()));

    bool ok = true;
    {
        QQmlApplicationEngine engine;
        QQuickWindow *window = openWindow(engine);
        if (!window)
            return 1;
        ok = shoot(window, out + "/empty-catalogue.png") && ok;
    }

    const quint64 GiB = 1024ull * 1024 * 1024;
    const quint64 MiB = 1024ull * 1024;
    // Oldest first: the grid shows the newest first.
    addDcp("Failed Feature", {reel(40 * MiB, true, true, true), reel(60 * MiB, false, false, false)},
           poster("Failed Feature", QColor("#3a1c1c"), QColor("#100808")));
    addDcp("Validating Trailer", {reel(90 * MiB, true, false, false), reel(80 * MiB, true, false, false)}, QString());
    DCP *notifying = addDcp("Notifying Short", {reel(700 * MiB, true, true, false), reel(500 * MiB, true, true, false)},
                            poster("Notifying Short", QColor("#1d3a4a"), QColor("#081018")));
    SampleCatalogue::addUnacknowledgedEvent(notifying->getReels().at(1), 8);
    DCP *pending = addDcp("Pending Documentary", {reel(2 * GiB, false, false, false), reel(GiB, false, false, false),
                                                  reel(GiB, false, false, false)},
                          poster("Pending Documentary", QColor("#2c3a1d"), QColor("#0c1008")));
    partFile(pending->getReels().first()->getAssets().first(), 300 * 1024);
    addDcp("The Completed Feature With A Rather Long Title", {reel(GiB, true, true, false), reel(GiB / 2, true, true, false)},
           poster("Completed Feature", QColor("#4a3a1d"), QColor("#181008")));
    // Passed by until the operator acts: links the server refused, a full drive.
    addDcp("Expired Links Feature", {reel(300 * MiB, true, true, false), reel(200 * MiB, false, false, false)},
           poster("Expired Links Feature", QColor("#4a1d2c"), QColor("#18080c")))
        ->setSetAside("Links expired: open a fresh package from Tarn");
    addDcp("Full Drive Trailer", {reel(120 * MiB, false, false, false)}, QString())
        ->setSetAside("Not enough space on /media/usb");
    DCP *downloading = addDcp("Downloading Feature", {reel(MiB, true, true, false), SampleCatalogue::slowReel(standin, 50000000, 1500000)},
                              poster("Downloading Feature", QColor("#3a1d4a"), QColor("#100818")));

    {
        QQmlApplicationEngine engine;
        QQuickWindow *window = openWindow(engine);
        if (!window)
            return 1;
        // Room for every card without scrolling.
        window->resize(1200, 1090);
        manager->startDownloading(downloading);
        wait(1500);
        ok = shoot(window, out + "/grid.png") && ok;
        window->resize(1200, 750);
        wait(200);
        ok = shoot(window, out + "/grid-1200x750.png") && ok;
        // The default size scrolled to its last row, with its scroll bar.
        if (QQuickItem *gridView = findItem(window->contentItem(), "grid")) {
            QMetaObject::invokeMethod(gridView, "positionViewAtEnd");
            wait(300);
            ok = shoot(window, out + "/grid-1200x750-scrolled.png") && ok;
            QMetaObject::invokeMethod(gridView, "positionViewAtBeginning");
            wait(100);
        }

        // A page whose reels show every state; the engine's running transfer drives one.
        manager->pauseDownloading();
        DCP *reels = addDcp("Every Reel State",
                            {reel(GiB, true, true, false), reel(GiB, true, true, false), reel(800 * MiB, false, false, false),
                             reel(900 * MiB, false, false, false), reel(700 * MiB, true, false, false),
                             reel(600 * MiB, true, true, true), reel(500 * MiB, false, false, false)},
                            poster("Every Reel State", QColor("#1d4a3a"), QColor("#081810")));
        SampleCatalogue::addUnacknowledgedEvent(reels->getReels().at(1), 8);
        partFile(reels->getReels().at(2)->getAssets().first(), 312 * 1024 * 1024);
        partFile(reels->getReels().at(6)->getAssets().first(), 20 * 1024 * 1024);
        wait(300);
        QQuickItem *grid = findItem(window->contentItem(), "grid");
        QQuickItem *first = nullptr;
        QMetaObject::invokeMethod(grid, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, first), Q_ARG(int, 0));
        QQuickItem *card = first ? findItem(first, "card") : nullptr;
        if (!card)
            return 1;
        // A click on the card, as the user does.
        const QPointF centre = card->mapToScene(QPointF(card->width() / 2, card->height() / 2));
        QMouseEvent press(QEvent::MouseButtonPress, centre, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, centre, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &press);
        QCoreApplication::sendEvent(window, &release);
        wait(300);
        emit reels->getReels().at(2)->downloadProgress(15000000);
        emit reels->getReels().at(6)->downloadQueuedForRedownload();
        ok = shoot(window, out + "/details.png") && ok;

        // The status bar in the engine's states, each reached by the real engine.
        ok = shootStatusBar(window, out + "/status-paused.png") && ok;
        manager->resumeDownloading();
        ok = waitForActivity(manager, "downloading", 5000) && shootStatusBar(window, out + "/status-downloading.png") && ok;
        // Next in the queue: assets whose server cannot be reached.
        manager->removeDownload(downloading);
        downloading = nullptr;
        ok = waitForActivity(manager, "retrying", 10000) && shootStatusBar(window, out + "/status-retrying.png") && ok;
        // Only what needs no transfer stays.
        for (DCP *dcp : DCPManager::instance()->allDCPs()) {
            bool transfers = false;
            for (Reel *r : dcp->getReels())
                for (Asset *asset : r->getAssets())
                    transfers = transfers || !asset->isDownloadChecksummed();
            if (transfers)
                manager->removeDownload(dcp);
        }
        DCP *verifying = addDcp("Verifying Feature", {reel(3 * GiB, true, false, false)}, QString());
        {
            QFile file(verifying->getReels().first()->getAssets().first()->filePath());
            QDir().mkpath(QFileInfo(file).absolutePath());
            if (file.open(QIODevice::WriteOnly))
                file.resize(qint64(3 * GiB));
        }
        manager->rebuildQueue();
        ok = waitForActivity(manager, "verifying", 10000) && shootStatusBar(window, out + "/status-verifying.png") && ok;
        manager->removeDownload(verifying);
        // Tarn's notification service failing: the unacknowledged event waits.
        NotificationBehaviour refusing;
        refusing.status = 500;
        refusing.body = "Internal Server Error.";
        standin.setNotificationBehaviour(refusing);
        NotificationManager::instance();
        ok = waitForActivity(manager, "confirming", 15000) && ok;
        for (int i = 0; i < 100 && !manager->activityText().contains("trying again"); ++i)
            wait(100);
        ok = shootStatusBar(window, out + "/status-confirming.png") && ok;
        standin.setNotificationBehaviour(NotificationBehaviour());
    }

    {
        // The speed schedule: its dialog empty with its hint, filled, and the slider under a
        // row in force (a Wednesday afternoon).
        QQmlApplicationEngine engine;
        QQuickWindow *window = openWindow(engine);
        if (!window)
            return 1;
        QQuickItem *dialog = findItem(window->contentItem(), "speedScheduleDialog");
        if (!dialog)
            return 1;
        QMetaObject::invokeMethod(dialog, "open");
        ok = shoot(window, out + "/schedule-dialog-empty.png") && ok;
        QMetaObject::invokeMethod(dialog, "close");
        SpeedScheduler *scheduler = SpeedScheduler::instance();
        const QVariantList rows = {
            QVariantMap{{"days", QVariantList{1, 2, 3, 4, 5}}, {"from", "10:00"}, {"to", "23:00"}, {"mbps", 20}},
            QVariantMap{{"days", QVariantList{6, 7}}, {"from", "12:00"}, {"to", "02:00"}, {"mbps", 40}},
            QVariantMap{{"days", QVariantList{1, 2, 3, 4, 5}}, {"from", "03:00"}, {"to", "07:00"}, {"mbps", 0}},
        };
        const QString refused = scheduler->setRows(rows);
        if (!refused.isEmpty()) {
            std::fprintf(stderr, "the schedule was refused: %s\n", qPrintable(refused));
            return 1;
        }
        scheduler->setClock([] { return QDateTime(QDate(2026, 12, 9), QTime(14, 0)); });
        ok = shootStatusBar(window, out + "/schedule-slider.png") && ok;
        QMetaObject::invokeMethod(dialog, "open");
        ok = shoot(window, out + "/schedule-dialog.png") && ok;
        QMetaObject::invokeMethod(dialog, "close");
        scheduler->setRows({});
        scheduler->setClock(SpeedScheduler::Clock());
    }

    {
        DCPManager::instance()->setSearchFilter("no such film");
        QQmlApplicationEngine engine;
        QQuickWindow *window = openWindow(engine);
        if (!window)
            return 1;
        QQuickItem *field = findItem(window->contentItem(), "searchField");
        if (field)
            field->setProperty("text", "no such film");
        ok = shoot(window, out + "/search-no-result.png") && ok;
    }
    standin.stop();
    return ok ? 0 : 1;
}
