#include "releasestate.h"

#include <QSettings>

namespace vt3 {

namespace {
const QLatin1String StateFileName("vt3update.state");
const QLatin1String ReleaseKey("installed/release");
} // namespace

QString releaseStatePath(const QString &appDir)
{
    return appDir + QLatin1Char('/') + StateFileName;
}

quint64 installedRelease(const QString &appDir)
{
    const QSettings state(releaseStatePath(appDir), QSettings::IniFormat);
    bool ok = false;
    const quint64 id = state.value(ReleaseKey).toString().toULongLong(&ok, 10);
    return ok ? id : 0;
}

bool recordInstalledRelease(const QString &appDir, quint64 releaseId)
{
    QSettings state(releaseStatePath(appDir), QSettings::IniFormat);
    state.setValue(ReleaseKey, QString::number(releaseId));
    state.sync();
    return state.status() == QSettings::NoError;
}

} // namespace vt3
