// A large catalogue written straight into a database file, as the benchmarks need it:
// real rows in every table and a directory for each DCP (a DCP whose directory is
// missing is dropped when the catalogue loads).
#pragma once

#include <QString>

#include <functional>

namespace bench {

struct CatalogueShape {
    int dcps = 500;
    int reelsPerDcp = 8;
    int assetsPerReel = 6;
    // false: every asset started, none finished; true: every asset downloaded and verified.
    bool verified = false;
    // The image URL of DCP number i; empty: a URL nothing ever loads.
    std::function<QString(int)> imageUrl;
};

// Fills the database at databasePath (created when missing) through a connection of its
// own, closed again before returning; DCP directories are made under downloads.
void fillCatalogue(const QString &databasePath, const QString &downloads, const CatalogueShape &shape);

}
