#pragma once

#include <QApplication>

class OrvDownloaderApp : public QApplication
{
    Q_OBJECT
public:
    OrvDownloaderApp(int &argc, char **argv);

    bool event(QEvent *event) override;
};
