#pragma once

#include <QString>
#include <QtGlobal>

// One reel event as stored in the notification table.
struct Notification
{
    quint64 id = 0;
    QString user_uuid;
    quint64 campaign_dcp_id = 0;
    QString reel_uuid;
    QString reel_assets_hash;
    quint32 reel_number = 0;
    quint32 event = 0;
    bool synced = false;
};
