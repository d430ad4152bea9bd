#include "download/OperatorBoxes.h"

#include <QDebug>

UserInteraction::Button OperatorBoxes::ask(const UserInteraction::Message &message)
{
    if (m_quitting) {
        qDebug() << "[DownloadManager] Quitting: not showing" << message.text;
        return UserInteraction::NoButton;
    }
    m_open = true;
    const UserInteraction::Button answer = UserInteraction::current()->showMessage(message);
    m_open = false;
    return answer;
}
