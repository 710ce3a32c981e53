#include "options.h"

#include <QCoreApplication>

namespace vt3 {

// The options are read before there is an application object or a
// catalogue: a usage error keeps its text untranslated until it is shown.
Options parseOptions(const QStringList &arguments)
{
    Options options;
    bool check = false;
    bool update = false;
    bool verify = false;
    bool repair = false;
    bool help = false;
    bool version = false;
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--check"))
            check = true;
        else if (argument == QLatin1String("--update"))
            update = true;
        else if (argument == QLatin1String("--verify"))
            verify = true;
        else if (argument == QLatin1String("--repair"))
            repair = true;
        else if (argument == QLatin1String("--full"))
            options.full = true;
        else if (argument == QLatin1String("--quiet"))
            options.quiet = true;
        else if (argument == QLatin1String("--start-client"))
            options.startClient = true;
        else if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            help = true;
        else if (argument == QLatin1String("--version"))
            version = true;
        // The toolkit's own options (-platform NAME, -style NAME, ...) and
        // whatever else the program has always ignored stay the window's.
        else if (!argument.startsWith(QLatin1String("--")))
            continue;
        else {
            options.mode = Options::Mode::Usage;
            options.problem = QT_TRANSLATE_NOOP("UpdateClient", "unknown option '%1'");
            options.problemArgument = argument;
            return options;
        }
    }
    if (help) {
        options.mode = Options::Mode::Help;
    } else if (version) {
        options.mode = Options::Mode::Version;
    } else if (int(check) + int(update) + int(verify) + int(repair) > 1) {
        options.mode = Options::Mode::Usage;
        options.problem =
            QT_TRANSLATE_NOOP("UpdateClient", "--check, --update, --verify and --repair do not go together");
    } else if ((options.quiet && !update && !verify && !repair) || (options.startClient && !update && !repair)) {
        options.mode = Options::Mode::Usage;
        options.problem = QT_TRANSLATE_NOOP(
            "UpdateClient",
            "--quiet goes with --update, --verify or --repair, --start-client with --update or --repair");
    } else if (options.full && !verify) {
        options.mode = Options::Mode::Usage;
        options.problem = QT_TRANSLATE_NOOP("UpdateClient", "--full goes with --verify only");
    } else if (check) {
        options.mode = Options::Mode::Check;
    } else if (update) {
        options.mode = Options::Mode::Update;
    } else if (verify) {
        options.mode = Options::Mode::Verify;
    } else if (repair) {
        options.mode = Options::Mode::Repair;
    }
    return options;
}

} // namespace vt3
