#include "app/Startup.h"

#include "app/LogHandler.h"
#include "app/OrvDownloaderApp.h"
#include "app/SingleInstanceGuard.h"
#include "app/UserInteraction.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Setting.h"

#include <QDebug>
#include <QQmlApplicationEngine>
#include <QQmlContext>

#include <exception>

namespace {

void showStartupError(const std::exception &error)
{
    qDebug() << "[main] Start-up failed:" << error.what();
    UserInteraction::Message message;
    message.icon = UserInteraction::Icon::Critical;
    message.title = "Tolvane Downloader";
    message.text = QString::fromUtf8(error.what());
    message.buttons = UserInteraction::Ok;
    UserInteraction::current()->showMessage(message);
}

}

int runApplication(int &argc, char **argv, UserInteraction *interaction)
{
    QCoreApplication::setAttribute(Qt::AA_UseOpenGLES, true);
    qInstallMessageHandler(logMessageHandler);
    OrvDownloaderApp app(argc, argv);
    UserInteraction::install(interaction);

    SingleInstanceGuard guard;
    if (!guard.acquire()) {
        UserInteraction::Message message;
        message.icon = UserInteraction::Icon::Warning;
        message.text = "You already have an instance of the Tolvane Downloader running.\r\nOnly one instance is allowed.";
        message.buttons = UserInteraction::Ok;
        UserInteraction::current()->showMessage(message);
        qDebug() << "[main] Multiple instances not allowed.";
        return 1;
    }

    try {
        // The settings store is the first reader of the database, which opens here; a
        // database that cannot be opened or set up ends start-up with its reason shown.
        Setting::instance();
        DCPManager *dcpManager = DCPManager::instance();

        if (argc > 1) {
            try {
                dcpManager->loadDCPFromFile(QString::fromLocal8Bit(argv[1]));
            } catch (const std::exception &error) {
                showStartupError(error);
            }
        }

        qDebug() << "[main] Starting QML...";
        QQmlApplicationEngine engine;
        engine.rootContext()->setContextProperty("dcp_mgr", dcpManager);
        engine.rootContext()->setContextProperty("settings_mgr", Setting::instance());
        engine.load(QUrl("qrc:///main.qml"));
        return app.exec();
    } catch (const std::exception &error) {
        showStartupError(error);
        return 1;
    }
}
