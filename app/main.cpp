#include "catalogue.h"
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

    QTranslator translator;
    vt3::loadCatalogue(translator, QLocale::system());
    QCoreApplication::installTranslator(&translator);

    UpdateClient window;
    app.setActivationWindow(&window, true);
    window.show();
    return app.exec();
}
