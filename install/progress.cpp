#include "updateclient.h"

#include "ui_updateclient.h"

namespace {
constexpr double BytesPerKB = 1024.0;
constexpr double BytesPerMB = 1048576.0;
// The scale factors the sizes are shown with, exact in binary.
constexpr double KBPerByte = 0.0009765625;
constexpr double MBPerByte = 0.00000095367431640625;
} // namespace

void UpdateClient::slotProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // The watchdog only asks whether anything arrived; the low bits suffice.
    currentReceived = static_cast<int>(bytesReceived);
    const qint64 done = completedBytes + bytesReceived;

    if (totalBytes > 0) {
        // Past 100 the bar ignores the value and keeps its last one.
        ui->progressBar->setValue(static_cast<int>(done * 100 / totalBytes));
        ui->completed->setText(tr("%1/%2").arg(formatSize(double(done)), formatSize(double(totalBytes))));
    } else {
        ui->completed->setText(tr("%1").arg(formatSize(double(done))));
    }

    if (bytesReceived == bytesTotal)
        completedBytes += bytesTotal;

    const qint64 elapsedMs = speedTimer.elapsed();
    // No time has passed yet: there is no speed to show, so the last one stays.
    if (elapsedMs <= 0)
        return;
    const double speed = double(bytesReceived) * 1000.0 / double(elapsedMs);
    ui->downloadSpeed->setText(tr("%1/s").arg(formatSize(speed)));
}

QString UpdateClient::formatSize(double bytes)
{
    if (bytes < BytesPerKB)
        return QString::number(bytes, 'f', 0) + QLatin1Char(' ') + tr("Byte");
    if (bytes < BytesPerMB)
        return QString::number(bytes * KBPerByte, 'f', 0) + QLatin1Char(' ') + tr("KB");
    // Also where a value that is not a number ends up.
    return QString::number(bytes * MBPerByte, 'f', 2) + QLatin1Char(' ') + tr("MB");
}
