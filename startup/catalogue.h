#ifndef CATALOGUE_H
#define CATALOGUE_H

#include <QLocale>

class QTranslator;

namespace vt3 {

// Loads the window texts' catalogue for `locale` into `translator`: from
// translations/ below the working directory, as the updater has always
// looked, else from translations/ beside the program. False when neither
// holds one (the texts then stay English).
bool loadCatalogue(QTranslator &translator, const QLocale &locale);

} // namespace vt3

#endif // CATALOGUE_H
