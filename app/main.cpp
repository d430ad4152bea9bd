#include "app/Startup.h"
#include "app/WidgetUserInteraction.h"

#include <QQmlDebuggingEnabler>

static QQmlDebuggingEnabler qmlDebuggingEnabler(true);

int main(int argc, char *argv[])
{
    WidgetUserInteraction interaction;
    return runApplication(argc, argv, &interaction);
}
