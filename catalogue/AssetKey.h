#pragma once

#include <QPair>
#include <QString>

class Asset;

// An asset is known by (asset uuid, DCP uuid): the same asset uuid may occur in two DCPs.
using AssetKey = QPair<QString, QString>;

AssetKey assetKey(const Asset *asset);
