#include "besidepolicy.h"

#include "plan/releaseplan.h"
#include "releaseformat.h"
#include "targetfile.h"

namespace vt3 {

bool BesidePolicy::allows(const QString &key) const
{
    // Current files are not fetched, patches are the head's to apply, and
    // only the files of the release itself go beside it.
    if (plan.isUpToDate(key) || plan.patchFor.contains(key) || !plan.files.contains(key) ||
        plan.expected(key).size > MaxBytes)
        return false;
    // What is there already, whole or in part, is the head's to check or
    // continue.
    if (nameTaken(workDir + QLatin1Char('/') + key))
        return false;
    // Two keys that are one file where names ignore case, or a key that is
    // the manifest's name, would be written at once; one after the other
    // they were, and are.
    return !plan.sharedNames.contains(format::foldedPath(key));
}

} // namespace vt3
