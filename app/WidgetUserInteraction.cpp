#include "app/WidgetUserInteraction.h"

#include "app/PlainTextBoxes.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

namespace {

QMessageBox::Icon toWidgetIcon(UserInteraction::Icon icon)
{
    switch (icon) {
    case UserInteraction::Icon::NoIcon:
        return QMessageBox::NoIcon;
    case UserInteraction::Icon::Information:
        return QMessageBox::Information;
    case UserInteraction::Icon::Warning:
        return QMessageBox::Warning;
    case UserInteraction::Icon::Critical:
        return QMessageBox::Critical;
    case UserInteraction::Icon::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

}

UserInteraction::Button WidgetUserInteraction::showMessage(const Message &message)
{
    QMessageBox box;
    box.setIcon(toWidgetIcon(message.icon));
    if (!message.title.isEmpty())
        box.setWindowTitle(message.title);
    box.setText(message.text);
    if (!message.informativeText.isEmpty())
        box.setInformativeText(message.informativeText);
    PlainTextBoxes::apply(&box);
    box.setStandardButtons(QMessageBox::StandardButtons(int(message.buttons)));
    if (message.defaultButton != NoButton)
        box.setDefaultButton(QMessageBox::StandardButton(message.defaultButton));
    return Button(box.exec());
}

QString WidgetUserInteraction::chooseDirectory(const QString &caption, const QString &startDirectory)
{
    return QFileDialog::getExistingDirectory(nullptr, caption, startDirectory, QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}

bool WidgetUserInteraction::openUrl(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}
