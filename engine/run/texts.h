#ifndef TEXTS_H
#define TEXTS_H

#include <QCoreApplication>

namespace vt3 {

// Every text of a run is the window's: the jobs translate through this one
// helper, so that the catalogue keeps a single context for them all.
struct Texts
{
    Q_DECLARE_TR_FUNCTIONS(UpdateClient)
};

} // namespace vt3

#endif // TEXTS_H
