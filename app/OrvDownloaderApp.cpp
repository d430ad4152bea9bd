#include "app/OrvDownloaderApp.h"

OrvDownloaderApp::OrvDownloaderApp(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

bool OrvDownloaderApp::event(QEvent *event)
{
    return QApplication::event(event);
}
