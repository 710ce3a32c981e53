#include "catalogue.h"
#include "commandline.h"
#include "leftovers.h"
#include "options.h"
#include "singleapplication.h"
#include "unattendedrun.h"
#include "updateclient.h"

#include <QLocale>
#include <QTranslator>

namespace {

int runWindow(int argc, char *argv[], const vt3::Options &options)
{
    QtSingleApplication app(argc, argv, true);
    const bool repair = options.mode == vt3::Options::Mode::Repair;
    const bool unattended = options.mode == vt3::Options::Mode::Update || repair;
    if (app.isRunning()) {
        if (unattended) {
            vt3::attachParentConsole();
            vt3::printError(QCoreApplication::translate("UpdateClient", "Another vt3update is running."));
            return vt3::ExitAnotherInstance;
        }
        // Delivery is not waited for beyond the time-out: a second start
        // shows nothing either way.
        app.sendMessage(QStringLiteral("active exists window"), 5000);
        return 0;
    }

    QTranslator translator;
    vt3::loadCatalogue(translator, QLocale::system());
    QCoreApplication::installTranslator(&translator);
    // Alone now: what an earlier run left goes before anything else.
    vt3::removeLeftovers();

    UpdateClient window;
    app.setActivationWindow(&window, true);
    if (!unattended) {
        window.show();
        return app.exec();
    }
    vt3::attachParentConsole();
    vt3::UnattendedRun run(window.engine(), &window, options.startClient,
                           repair ? vt3::UnattendedRun::Job::Repair : vt3::UnattendedRun::Job::Update);
    window.setUnattended(true);
    window.engine().setFace(&run);
    window.show();
    if (repair)
        run.startRepair();
    app.exec();
    // The window goes before the face it reports through.
    window.engine().setFace(&window);
    return run.exitCode();
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const vt3::Options options = vt3::parseOptions(arguments);
    const bool unattendedRun = options.mode == vt3::Options::Mode::Update || options.mode == vt3::Options::Mode::Repair;
    if (options.mode == vt3::Options::Mode::Window || (unattendedRun && !options.quiet))
        return runWindow(argc, argv, options);

    // Everything else needs no display: a core application object.
    QCoreApplication app(argc, argv);
    QTranslator translator;
    vt3::loadCatalogue(translator, QLocale::system());
    QCoreApplication::installTranslator(&translator);
    vt3::attachParentConsole();
    switch (options.mode) {
    case vt3::Options::Mode::Check:
        return vt3::checkRelease();
    case vt3::Options::Mode::Update:
        return vt3::updateQuietly(options.startClient);
    case vt3::Options::Mode::Repair:
        return vt3::repairQuietly(options.startClient);
    case vt3::Options::Mode::Verify:
        return vt3::verifyInstallation(options.quiet, options.full);
    default:
        return vt3::showInformation(options);
    }
}
