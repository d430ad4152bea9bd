#pragma once

#include <QObject>
#include <QString>

namespace TestSupport {

// Runs a QtTest object inside a fresh temporary data directory: the database, the log
// and the single-instance lock of the programs it starts live there and nowhere else.
int runIsolated(int argc, char **argv, QObject *test);

// The isolated data directory of the running test executable.
QString dataDir();

// Path of an executable built by this project (the tools, the application).
QString builtExecutable(const QString &relativePath);

// QtTest takes over the message handler when a test run starts; call this first in
// initTestCase so that messages also reach debug.log, as in the application.
void captureLog();

// The whole content of the test's debug.log (empty when none was written).
QByteArray readLog();

}

#define TOLVANE_TEST_MAIN(TestClass)                              \
    int main(int argc, char **argv)                               \
    {                                                             \
        TestClass test;                                           \
        return TestSupport::runIsolated(argc, argv, &test);       \
    }
