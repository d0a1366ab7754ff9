#pragma once

#include "CameraSetting.h"

#include <QBluetoothDeviceDiscoveryAgent>
#include <QBluetoothDeviceInfo>
#include <QLowEnergyCharacteristic>
#include <QLowEnergyService>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

class BaseSettings;
class QLowEnergyController;
class QTimer;
class Worker;

// Drives the LED light panel over Bluetooth Low Energy: finds the device that
// advertises the configured name, connects, finds the service and its command
// characteristic, switches its notifications on, then sends brightness and
// colour-temperature commands and stores the values the panel reports. A
// status tick every 5 s starts a new search while the controller is enabled
// but neither connected, connecting nor searching.
//
// Everything Bluetooth runs on the controller's own worker thread, where the
// controller lives. The public calls may come from any thread: they read
// atomics or the settings store and post work to the worker.
class LightController : public QObject
{
    Q_OBJECT
public:
    LightController(BaseSettings* settings, const QString& deviceName, const QString& serviceUuid,
                    const QString& descriptorUuid, const QString& characteristicUuid, QObject* parent = nullptr);
    ~LightController() override;

    void start();
    void stop();

    // False when not connected. Otherwise the value, clamped to its range, is
    // sent and stored. Until the panel reports it back, an accepted value counts
    // as unconfirmed, and is sent again once the panel is back after a link
    // that dropped: a command written as the link went down is not lost.
    bool setBrightness(long value, bool autoMode);
    bool setTemperature(long value, bool autoMode);

    bool isConnected() const { return _connected; }
    CameraSetting getBrightness() const;
    CameraSetting getTemperature() const;

    // The longest a connection attempt (connect, service and detail discovery)
    // may take before it is given up.
    static constexpr int kConnectLimitMs = 20000;

signals:
    void onValuesChanged(int temperature, int brightness);
    void onStatusChanged(bool status);
    void onBrightness(int value, bool autoMode);
    void onTemperature(int value, bool autoMode);

private:
    enum class Command { Brightness, Temperature };

    void configure(const QString& deviceName, const QString& serviceUuid, const QString& descriptorUuid,
                   const QString& characteristicUuid);
    void stopInternal();
    void startSearch();
    void connectTo(const QBluetoothDeviceInfo& device);
    void onServiceDiscovered(const QBluetoothUuid& uuid);
    void onServiceState(QLowEnergyService::ServiceState state);
    void onNotification(const QLowEnergyCharacteristic& characteristic, const QByteArray& value);
    void onDiscoveryError(QBluetoothDeviceDiscoveryAgent::Error error);
    void checkStatus();
    bool queueCommand(Command kind, long value);
    void sendCommand(Command kind, int value);
    void sendUnconfirmed();
    bool connectedNow() const;

    std::shared_ptr<Worker> _worker;
    BaseSettings* settings = nullptr;
    QString _deviceName, _serviceUuid, _descriptorUuid, _characteristicUuid;

    // Worker thread only.
    QBluetoothDeviceDiscoveryAgent* discoveryAgent = nullptr;
    QLowEnergyController* controller = nullptr;
    QLowEnergyService* service = nullptr;
    QLowEnergyCharacteristic writeCharacteristic;
    QLowEnergyCharacteristic notifyCharacteristic;
    QTimer* statusTimer = nullptr;
    QTimer* connectLimit = nullptr;
    QString lastDiscoveryError;
    // The latest accepted value of each kind that the panel has not yet
    // reported back (brightness; kelvin).
    std::optional<int> unconfirmedBrightness, unconfirmedTemperature;

    // Any thread.
    std::atomic<bool> enabled {false};
    std::atomic<bool> _connected {false};
};
