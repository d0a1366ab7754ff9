// BlueZ: bluetoothd owns "org.bluez" on the system bus while it runs.
#include "BluetoothServiceWatch.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>

QObject* watchBluetoothService(QObject* parent, std::function<void()> onLost)
{
    auto* watcher = new QDBusServiceWatcher(QStringLiteral("org.bluez"), QDBusConnection::systemBus(),
                                            QDBusServiceWatcher::WatchForUnregistration, parent);
    QObject::connect(watcher, &QDBusServiceWatcher::serviceUnregistered, watcher,
                     [onLost = std::move(onLost)](const QString&) { onLost(); });
    return watcher;
}
