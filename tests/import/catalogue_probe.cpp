// Starts the catalogue the way the application does at start-up, on the data directory named
// by TOLVANE_DATA_DIR, and prints what it loaded: one line per DCP,
// "DCP <uuid> <reels> <assets> <title>". Downloads stay paused, so nothing goes out.

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "support/ScriptedUserInteraction.h"

#include <QApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ScriptedUserInteraction ui;
    Setting::instance()->set("download_paused", "1");
    Setting::instance()->save();
    QTextStream out(stdout);
    for (DCP *dcp : DCPManager::instance()->allDCPs())
        out << "DCP " << dcp->uuid() << ' ' << dcp->getReels().size() << ' ' << dcp->getAssets().size() << ' '
            << dcp->title() << Qt::endl;
    DownloadManager::shutdown();
    return 0;
}
