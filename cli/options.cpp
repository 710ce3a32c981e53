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
    bool help = false;
    bool version = false;
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--check"))
            check = true;
        else if (argument == QLatin1String("--update"))
            update = true;
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
    } else if (check && update) {
        options.mode = Options::Mode::Usage;
        options.problem = QT_TRANSLATE_NOOP("UpdateClient", "--check and --update do not go together");
    } else if ((options.quiet || options.startClient) && !update) {
        options.mode = Options::Mode::Usage;
        options.problem = QT_TRANSLATE_NOOP("UpdateClient", "--quiet and --start-client go with --update only");
    } else if (check) {
        options.mode = Options::Mode::Check;
    } else if (update) {
        options.mode = Options::Mode::Update;
    }
    return options;
}

} // namespace vt3
