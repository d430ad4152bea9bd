#include "app/WindowContext.h"

#include "app/CoverImageProvider.h"
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
}

}
