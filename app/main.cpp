#include "singleapplication.h"
#include "updateclient.h"

#include <QLocale>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QtSingleApplication app(argc, argv, true);
    if (app.isRunning()) {
        // Delivery is not waited for beyond the time-out: a second start
        // shows nothing either way.
        app.sendMessage(QStringLiteral("active exists window"), 5000);
        return 0;
    }

    // Looked up relative to the working directory, so translations apply
    // when the updater is started from its own folder.
    QTranslator translator;
    translator.load(QLatin1String("update_") + QLocale::system().name(), QStringLiteral("translations/"));
    QCoreApplication::installTranslator(&translator);

    UpdateClient window;
    app.setActivationWindow(&window, true);
    window.show();
    return app.exec();
}
