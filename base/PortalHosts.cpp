#include "base/PortalHosts.h"

namespace {

QUrl joinUrl(const char *variable, const char *builtIn, const QString &path)
{
    QString base = qEnvironmentVariable(variable);
    if (base.isEmpty())
        base = QString::fromUtf8(builtIn);
    while (base.endsWith('/'))
        base.chop(1);
    QUrl url(base);
    url.setPath(path);
    return url;
}

}

namespace PortalHosts {

QUrl portalUrl(const QString &path)
{
    return joinUrl("TOLVANE_PORTAL_URL", TOLVANE_DEFAULT_PORTAL_URL, path);
}

QUrl notificationUrl(const QString &path)
{
    return joinUrl("TOLVANE_NOTIFICATION_URL", TOLVANE_DEFAULT_NOTIFICATION_URL, path);
}

}
