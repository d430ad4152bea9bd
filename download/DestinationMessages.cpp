#include "download/DestinationMessages.h"

namespace DestinationMessages {

UserInteraction::Message diskSpace()
{
    UserInteraction::Message message;
    message.icon = UserInteraction::Icon::Critical;
    message.text = "Not enough disk space";
    message.informativeText = "You have ran out of disk space so we paused your download.\r\n\r\nPlease free up some space "
                              "and hit the resume button once you're ready.";
    message.buttons = UserInteraction::Ok;
    return message;
}

UserInteraction::Message writeProblem(const QString &informativeText)
{
    UserInteraction::Message message;
    message.icon = UserInteraction::Icon::Critical;
    message.text = "Unable to write the download";
    message.informativeText = informativeText
        + "\r\n\r\nPlease check that the drive is connected and writable and hit the resume button once you're ready.";
    message.buttons = UserInteraction::Ok;
    return message;
}

}
