#pragma once

#include <QString>
#include <QUrl>

// The portal (https) and notification service (http) addresses are fixed at build time.
// TOLVANE_PORTAL_URL and TOLVANE_NOTIFICATION_URL (scheme, host and port) override them,
// which is how the tests and the demo reach the local stand-in.
namespace PortalHosts {
QUrl portalUrl(const QString &path);
QUrl notificationUrl(const QString &path);
}
