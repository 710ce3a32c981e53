#ifndef ELEVATEDUPDATE_H
#define ELEVATEDUPDATE_H

#include <QObject>
#include <QString>
#include <QStringList>

class QWinEventNotifier;

namespace vt3 {

// Starts a program with an administrator's rights (on Windows the system
// asks the user first) and reports when it has ended. The window uses it
// for the updater itself with --update, where this user may not write the
// installation; the window then waits and writes nothing there itself.
class ElevatedUpdate : public QObject
{
    Q_OBJECT

public:
    explicit ElevatedUpdate(QObject *parent = nullptr);
    ~ElevatedUpdate() override;

    // Whether this system can start a program with more rights at all.
    static bool available();

    // False when the program did not start, for instance because the user
    // declined; `finished` follows only a true.
    bool start(const QString &program, const QStringList &arguments);

signals:
    // The program's exit code, or -1 when it cannot be told.
    void finished(int exitCode);

private:
#ifdef Q_OS_WIN
    void ended();

    void *process = nullptr;
    QWinEventNotifier *notifier = nullptr;
#endif
};

} // namespace vt3

#endif // ELEVATEDUPDATE_H
