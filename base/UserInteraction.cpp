#include "base/UserInteraction.h"

#include <QDebug>

namespace {

// Used until the application or a test installs its own: refuses everything, so a
// forgotten install shows up in the log instead of blocking on an invisible box.
class NoUserInteraction : public UserInteraction
{
public:
    Button showMessage(const Message &message) override
    {
        qWarning() << "[main] No user interaction installed; unanswered box:" << message.text;
        if (message.buttons.testFlag(Cancel))
            return Cancel;
        if (message.buttons.testFlag(No))
            return No;
        return Ok;
    }
    QString chooseDirectory(const QString &, const QString &) override { return QString(); }
    bool openUrl(const QUrl &) override { return false; }
};

UserInteraction *g_interaction = nullptr;

}

UserInteraction::~UserInteraction() = default;

UserInteraction *UserInteraction::current()
{
    static NoUserInteraction fallback;
    return g_interaction ? g_interaction : &fallback;
}

void UserInteraction::install(UserInteraction *interaction)
{
    g_interaction = interaction;
}
