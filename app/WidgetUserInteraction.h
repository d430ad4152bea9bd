#pragma once

#include "base/UserInteraction.h"

// The application's answerer: real QMessageBoxes, QFileDialog and QDesktopServices.
class WidgetUserInteraction : public UserInteraction
{
public:
    Button showMessage(const Message &message) override;
    QString chooseDirectory(const QString &caption, const QString &startDirectory) override;
    bool openUrl(const QUrl &url) override;
};
