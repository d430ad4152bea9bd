#include "app/DesktopNotifier.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Reel.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDebug>
#include <QStringList>
#include <QVariantMap>
#include <QWindow>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kAppName = QStringLiteral("Tolvane Downloader");

QString titleOf(const DCP *dcp)
{
    return dcp->friendlyTitle().isEmpty() ? dcp->title() : dcp->friendlyTitle();
}
}

DesktopNotifier::DesktopNotifier(DCPManager *catalogue, const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_catalogue(catalogue)
    , m_bus(bus)
{
}

QString DesktopNotifier::readySummary(const DCP *dcp)
{
    return titleOf(dcp) + " is ready";
}

QString DesktopNotifier::needsYouSummary(const DCP *dcp)
{
    return titleOf(dcp) + " needs you";
}

void DesktopNotifier::start()
{
    if (m_started)
        return;
    m_started = true;
    connect(m_catalogue, &DCPManager::catalogueChanged, this, &DesktopNotifier::requestCheck);
    // What holds now was there before this run: it is known, not news.
    for (DCP *dcp : m_catalogue->allDCPs()) {
        m_known.insert(dcp->uuid(), stateOf(dcp));
        follow(dcp);
    }
    lookForService();
}

void DesktopNotifier::lookForService()
{
    if (!m_bus.isConnected()) {
        const QString error = m_bus.lastError().message();
        unavailable(error.isEmpty() ? QString("no session bus") : QString("no session bus (%1)").arg(error));
        return;
    }
    m_bus.connect(kService, kPath, kInterface, "ActionInvoked", this, SLOT(actionInvoked(uint, QString)));
    const QDBusMessage hasOwner = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                                 "org.freedesktop.DBus", "NameHasOwner")
        << kService;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(hasOwner), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *call) {
        call->deleteLater();
        const QDBusPendingReply<bool> owned = *call;
        if (owned.isError()) {
            unavailable(owned.error().message());
            return;
        }
        if (owned.value())
            return;
        // Not running yet, but the bus may start it on the first call.
        const QDBusMessage activatable = QDBusMessage::createMethodCall(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListActivatableNames");
        auto *names = new QDBusPendingCallWatcher(m_bus.asyncCall(activatable), this);
        connect(names, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *namesCall) {
            namesCall->deleteLater();
            const QDBusPendingReply<QStringList> list = *namesCall;
            if (list.isError())
                unavailable(list.error().message());
            else if (!list.value().contains(kService))
                unavailable(kService + " is not on the session bus");
        });
    });
}

void DesktopNotifier::unavailable(const QString &reason)
{
    if (m_unavailableLogged)
        return;
    m_unavailableLogged = true;
    qDebug().noquote() << "[DesktopNotifier] No desktop notification service:" << reason;
}

DesktopNotifier::Known DesktopNotifier::stateOf(const DCP *dcp)
{
    Known known;
    known.setAside = dcp->setAsideText();
    const QList<Reel *> reels = dcp->getReels();
    // As the card has it: completed once every reel passed verification and Tarn confirmed
    // it, with no reel given up, none removed and nothing in the way.
    bool ready = !reels.isEmpty() && !dcp->isSetAside() && dcp->missingReels() == 0;
    for (const Reel *reel : reels) {
        if (reel->isCorrupted()) {
            known.corruptedReels.insert(reel->uuid());
            ready = false;
        } else if (ready && !(reel->isChecksummed() && reel->isSyncedKnown())) {
            ready = false;
        }
    }
    known.ready = ready;
    return known;
}

void DesktopNotifier::follow(DCP *dcp)
{
    const auto unique = Qt::ConnectionType(Qt::AutoConnection | Qt::UniqueConnection);
    if (!m_followed.contains(dcp)) {
        m_followed.insert(dcp);
        // The checksum worker raises some of these from its own thread (they arrive queued):
        // every check runs here, on the main thread, once the signals of the moment are in.
        connect(dcp, &DCP::statusChanged, this, &DesktopNotifier::requestCheck, unique);
        connect(dcp, &DCP::finishedChanged, this, &DesktopNotifier::requestCheck, unique);
        connect(dcp, &DCP::reelsChanged, this, &DesktopNotifier::requestCheck, unique);
        connect(dcp, &DCP::downloadFinished, this, &DesktopNotifier::requestCheck, unique);
        connect(dcp, &QObject::destroyed, this, [this, dcp] { m_followed.remove(dcp); });
    }
    for (Reel *reel : dcp->getReels()) {
        if (m_followed.contains(reel))
            continue;
        m_followed.insert(reel);
        connect(reel, &Reel::downloadSynced, this, &DesktopNotifier::requestCheck, unique);
        connect(reel, &Reel::downloadChecksummed, this, &DesktopNotifier::requestCheck, unique);
        connect(reel, &Reel::downloadCorrupted, this, &DesktopNotifier::requestCheck, unique);
        connect(reel, &Reel::downloadQueuedForRedownload, this, &DesktopNotifier::requestCheck, unique);
        connect(reel, &QObject::destroyed, this, [this, reel] { m_followed.remove(reel); });
    }
}

void DesktopNotifier::requestCheck()
{
    if (m_checkQueued)
        return;
    m_checkQueued = true;
    QMetaObject::invokeMethod(this, &DesktopNotifier::check, Qt::QueuedConnection);
}

void DesktopNotifier::check()
{
    m_checkQueued = false;
    QHash<QString, Known> now;
    for (DCP *dcp : m_catalogue->allDCPs()) {
        follow(dcp);
        const Known state = stateOf(dcp);
        now.insert(dcp->uuid(), state);
        const auto before = m_known.constFind(dcp->uuid());
        // A DCP that just joined the catalogue starts from what it is.
        if (before == m_known.constEnd())
            continue;
        if (state.ready && !before->ready)
            notify(dcp, readySummary(dcp), "Every reel is downloaded, verified and confirmed by Tarn.");
        if (!state.setAside.isEmpty() && state.setAside != before->setAside)
            notify(dcp, needsYouSummary(dcp), state.setAside);
        for (const Reel *reel : dcp->getReels()) {
            if (state.corruptedReels.contains(reel->uuid()) && !before->corruptedReels.contains(reel->uuid()))
                notify(dcp, needsYouSummary(dcp),
                       QString("Reel %1 failed verification three times").arg(reel->reelNumber()));
        }
    }
    m_known = now;
}

void DesktopNotifier::notify(const DCP *dcp, const QString &summary, const QString &body)
{
    if (!m_bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    call << kAppName << uint(0) << QString() << summary << body << QStringList{"default", "Open"} << QVariantMap()
         << int(-1);
    ++m_inFlight;
    ++m_sentCalls;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    const QString dcpUuid = dcp->uuid();
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, dcpUuid, summary](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                --m_inFlight;
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isError()) {
                    unavailable(reply.error().message());
                    return;
                }
                m_sent.insert(reply.value(), dcpUuid);
                qDebug().noquote() << "[DesktopNotifier] Notified:" << summary;
            });
}

void DesktopNotifier::actionInvoked(uint id, const QString &action)
{
    if (action != "default" || !m_sent.contains(id))
        return;
    DCP *dcp = m_catalogue->getDCP(m_sent.value(id));
    if (!m_window)
        return;
    if (m_window->visibility() == QWindow::Minimized)
        m_window->showNormal();
    m_window->raise();
    m_window->requestActivate();
    if (dcp)
        QMetaObject::invokeMethod(m_window, "openDcpPage", Q_ARG(QVariant, QVariant::fromValue<QObject *>(dcp)));
}
