#include "app/WindowContext.h"

#include "app/CoverImageProvider.h"
#include "app/PlainTextBoxes.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "download/SpeedScheduler.h"

#include <QQmlContext>
#include <QQmlEngine>

namespace WindowContext {

void expose(QQmlEngine &engine)
{
    engine.rootContext()->setContextProperty("download_mgr", DownloadManager::instance());
    engine.rootContext()->setContextProperty("dcp_mgr", DCPManager::instance());
    engine.rootContext()->setContextProperty("settings_mgr", Setting::instance());
    engine.rootContext()->setContextProperty("speed_schedule", SpeedScheduler::instance());
    engine.addImageProvider("cover", new CoverImageProvider);
    // The window's own boxes name DCPs by the titles the packages give.
    PlainTextBoxes::install();
}

}
