#include "support/TestMain.h"

#include "app/LogHandler.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {
QString g_dataDir;
QtMessageHandler g_testHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg)
        logMessageHandler(type, context, message);
    if (g_testHandler)
        g_testHandler(type, context, message);
}
}

namespace TestSupport {

int runIsolated(int argc, char **argv, QObject *test)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return 2;
    g_dataDir = dir.path();
    qputenv("TOLVANE_DATA_DIR", g_dataDir.toUtf8());
    const QString ipcDir = g_dataDir + "/tmp";
    QDir().mkpath(ipcDir);
    qputenv("TMPDIR", ipcDir.toUtf8());
    // The single-instance lock of the programs a test starts lies in the temporary folder
    // above, not in the session's runtime folder that every test would share.
    qunsetenv("XDG_RUNTIME_DIR");
    QApplication app(argc, argv);
    return QTest::qExec(test, argc, argv);
}

void captureLog()
{
    g_testHandler = qInstallMessageHandler(captureHandler);
    if (g_testHandler == captureHandler)
        g_testHandler = nullptr;
}

QString dataDir()
{
    return g_dataDir;
}

QString builtExecutable(const QString &relativePath)
{
    return qEnvironmentVariable("TOLVANE_BUILD_DIR") + "/" + relativePath;
}

QByteArray readLog()
{
    QFile file(g_dataDir + "/debug.log");
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

}
