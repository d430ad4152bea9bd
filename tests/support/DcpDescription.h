#pragma once

#include <QJsonObject>

class DCP;

// Catalogue objects from a JSON description, for test processes that store DCPs the way
// the import does without a package: {"uuid", "title", "download_path", "user_uuid",
// "campaign_dcp_id", "reels": [reel uuid...], "assets": [{"uuid", "hash", "size", "type",
// "file", "dir", "url", and "reel": N or "reels": [N...], the reel numbers listing it}]}.
// Returns null when an asset names a reel the description does not have.
DCP *dcpFromDescription(const QJsonObject &description);
