// The application's start-up with a user-interaction seam that prints every box on
// standard output instead of showing it, so tests can run real processes against it.
#include "app/Startup.h"
#include "app/UserInteraction.h"

#include <cstdio>

namespace {

class PrintingInteraction : public UserInteraction
{
public:
    Button showMessage(const Message &message) override
    {
        QByteArray text = message.text.toUtf8();
        text.replace("\r", "\\r").replace("\n", "\\n");
        std::printf("BOX %d %s\n", int(message.icon), text.constData());
        std::fflush(stdout);
        return message.defaultButton != NoButton ? message.defaultButton : Ok;
    }
    QString chooseDirectory(const QString &, const QString &) override { return QString(); }
    bool openUrl(const QUrl &url) override
    {
        std::printf("URL %s\n", url.toEncoded().constData());
        std::fflush(stdout);
        return true;
    }
};

}

int main(int argc, char *argv[])
{
    PrintingInteraction interaction;
    return runApplication(argc, argv, &interaction);
}
