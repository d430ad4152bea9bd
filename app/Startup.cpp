#include "app/Startup.h"

#include "app/WindowContext.h"
#include "app/DesktopNotifier.h"
#include "app/LogHandler.h"
#include "app/OrvDownloaderApp.h"
#include "app/SingleInstanceGuard.h"
#include "app/TerminationSignals.h"
#include "base/UserInteraction.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "download/Platform.h"
#include "download/SpeedScheduler.h"
#include "portal/NotificationManager.h"
#include "portal/LoginDialog.h"
#include "portal/UpdaterDialog.h"

#include <QDebug>
#include <QSessionManager>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QWindow>

#include <exception>
#include <memory>

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

// After start-up went on without a login, opening a package asks for one first.
bool loginForPackage(QString *decodingKey)
{
    LoginDialog login(nullptr);
    if (login.exec() != QDialog::Accepted)
        return false;
    *decodingKey = login.decodingKey();
    return true;
}

}

int runApplication(int &argc, char **argv, UserInteraction *interaction)
{
    Platform::keepTransferBuffersMapped();
    QCoreApplication::setAttribute(Qt::AA_UseOpenGLES, true);
    qInstallMessageHandler(logMessageHandler);
    OrvDownloaderApp app(argc, argv);
    UserInteraction::install(interaction);
    TerminationSignals::install(&app);
    // The session manager's end of session ends the program the same clean way.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app,
                     [&app](QSessionManager &) { QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection); });

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

    {
        UpdaterDialog updater(nullptr);
        if (updater.exec() == QDialog::Accepted) {
            qDebug() << "[main] Update in progress. Closing the app";
            return 0;
        }
    }

    try {
        // The login dialog reads the remembered user name, the first read of the settings
        // store, so the database opens here; a database that cannot be opened or set up
        // ends start-up with its reason shown.
        // When Tarn cannot be reached the dialog may offer to go on with the downloads
        // already in the catalogue: their links are stored, and the asset servers are not
        // the portal.
        auto login = std::make_unique<LoginDialog>(nullptr);
        login->setCatalogueContinuationOffered(true);
        const int loginResult = login->exec();
        if (loginResult == 0)
            return loginResult;
        const bool loggedIn = loginResult != LoginDialog::ContinueWithCatalogue;
        const QString decodingKey = login->decodingKey();
        login.reset();

        Setting::instance();
        DCPManager *dcpManager = DCPManager::instance();
        if (loggedIn) {
            dcpManager->setDecodingKey(decodingKey);
        } else {
            qDebug() << "[main] Continuing without a login; opening a package will ask for one.";
            dcpManager->setLoginRequest(loginForPackage);
        }
        // Events left unsent by an earlier run go out as soon as the manager exists.
        NotificationManager::instance();

        // A package that cannot be imported is reported by the import itself; start-up goes on.
        if (argc > 1)
            dcpManager->loadDCPFromFile(QString::fromLocal8Bit(argv[1]));

        DownloadManager::instance();
        // The speed schedule rules the engine's limit from here on, window or not.
        SpeedScheduler::instance();

        qDebug() << "[main] Starting QML...";
        QQmlApplicationEngine engine;
        WindowContext::expose(engine);
        engine.load(QUrl("qrc:///main.qml"));
        // Ready and stuck DCPs are told on the desktop too, for an operator away from the window.
        DesktopNotifier notifier(dcpManager, QDBusConnection::sessionBus());
        if (!engine.rootObjects().isEmpty())
            notifier.setWindow(qobject_cast<QWindow *>(engine.rootObjects().first()));
        notifier.start();
        return app.exec();
    } catch (const std::exception &error) {
        showStartupError(error);
        return 1;
    }
}
