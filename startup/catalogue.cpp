#include "catalogue.h"

#include "appdir.h"

#include <QTranslator>

namespace vt3 {

bool loadCatalogue(QTranslator &translator, const QLocale &locale)
{
    const QString name = QLatin1String("update_") + locale.name();
    // Shortcuts and installers often start the updater from another folder.
    return translator.load(name, QStringLiteral("translations/")) ||
           translator.load(name, applicationDir() + QLatin1String("/translations/"));
}

} // namespace vt3
