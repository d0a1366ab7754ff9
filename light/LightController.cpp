#include "LightController.h"

#include "BaseSettings.h"
#include "LightFrames.h"
#include "Worker.h"
#include "platform/BluetoothServiceWatch.h"

#include <QBluetoothUuid>
#include <QDebug>
#include <QLowEnergyController>
#include <QLowEnergyDescriptor>
#include <QMetaEnum>
#include <QTimer>

namespace {

constexpr int kStatusPeriodMs = 5000;

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// A light value as the window shows it: 0..maximum in steps of 1, no
// automatic mode.
CameraSetting lightSetting(int value, int maximum, int defaultValue)
{
    CameraSetting s;
    s.value = value;
    s.step = 1;
    s.maximum = maximum;
    s.minimum = 0;
    s.defaultValue = defaultValue;
    return s;
}

template <typename E>
const char* enumName(E value)
{
    return QMetaEnum::fromType<E>().valueToKey(int(value));
}

} // namespace

LightController::LightController(BaseSettings* settings_, const QString& deviceName, const QString& serviceUuid,
                                 const QString& descriptorUuid, const QString& characteristicUuid, QObject* parent)
    : QObject(nullptr)
    , settings(settings_)
{
    // The controller lives on its worker thread, and Qt moves no object that
    // has a parent.
    if (parent)
        qWarning() << "The light controller takes no parent: it lives on its own thread";
    _worker = Worker::create(this, true);
    _worker->runFunctionSync([=, this](QObject*) {
        discoveryAgent = new QBluetoothDeviceDiscoveryAgent(_worker.get());
        configure(deviceName, serviceUuid, descriptorUuid, characteristicUuid);
    });
    _worker->runFunctionSync([this](QObject*) {
        statusTimer = new QTimer(_worker.get());
        connect(statusTimer, &QTimer::timeout, this, &LightController::checkStatus);
        connectLimit = new QTimer(_worker.get());
        connectLimit->setSingleShot(true);
        connect(connectLimit, &QTimer::timeout, this, [this] {
            qWarning() << "BLE connection attempt timed out after" << kConnectLimitMs / 1000 << "s";
            stopInternal();
        });
        watchBluetoothService(_worker.get(), [this] {
            if (!controller)
                return;
            qWarning() << "BLE The Bluetooth service went away, and the panel's link with it";
            stopInternal();
        });
    });
}

LightController::~LightController()
{
    qDebug() << "~LightController DCTOR - before runFunctionSync";
    _worker->runFunctionSync([this](QObject*) { statusTimer->stop(); });
    qDebug() << "~LightController DCTOR - after runFunctionSync";
    enabled = false;
    stopInternal();
    qDebug() << "~LightController DCTOR - after stop";
    // The Bluetooth objects are the worker's children: they go with it, on
    // its thread, before the thread ends.
    _worker->runFunctionSync([this](QObject*) {
        delete discoveryAgent;
        discoveryAgent = nullptr;
    });
    _worker->stop();
    _worker.reset();
    qDebug() << "~LightController DCTOR - after _worker.reset()";
}

void LightController::configure(const QString& deviceName, const QString& serviceUuid, const QString& descriptorUuid,
                                const QString& characteristicUuid)
{
    _deviceName = deviceName;
    _serviceUuid = serviceUuid;
    _descriptorUuid = descriptorUuid;
    _characteristicUuid = characteristicUuid;
    connect(discoveryAgent, &QBluetoothDeviceDiscoveryAgent::deviceDiscovered, this,
            [this](const QBluetoothDeviceInfo& device) {
                qDebug() << "BLE Device Discovered: " << device.name() << device.address().toString();
                // Exact and case-sensitive; one controller at a time, so a
                // second report of the panel does not start a second attempt.
                if (device.name() != _deviceName || controller)
                    return;
                _worker->runFunctionAsync([this, device](QObject*) { connectTo(device); });
            });
    connect(discoveryAgent, &QBluetoothDeviceDiscoveryAgent::finished, this, [this] {
        if (!controller) {
            qWarning() << "BLE Device not found!";
            stopInternal();
        }
    });
    connect(discoveryAgent, &QBluetoothDeviceDiscoveryAgent::errorOccurred, this, &LightController::onDiscoveryError);
}

void LightController::start()
{
    enabled = false;
    stopInternal();
    qDebug() << "BLE LightController::start";
    enabled = true;
    _worker->runFunctionAsync([this](QObject*) { startSearch(); });
}

void LightController::stop()
{
    enabled = false;
    stopInternal();
}

void LightController::startSearch()
{
    if (!enabled)
        return;
    discoveryAgent->start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod);
    if (!statusTimer->isActive())
        statusTimer->start(kStatusPeriodMs);
}

void LightController::onDiscoveryError(QBluetoothDeviceDiscoveryAgent::Error error)
{
    // No adapter, an adapter switched off, no Bluetooth service or no system
    // bus: said once until it changes, and tried again on every tick.
    const QString text = QStringLiteral("%1 (%2)").arg(QLatin1String(enumName(error)), discoveryAgent->errorString());
    if (text != lastDiscoveryError)
        qWarning() << "BLE discovery failed:" << text << "- trying again every" << kStatusPeriodMs / 1000 << "s";
    lastDiscoveryError = text;
}

void LightController::stopInternal()
{
    qDebug() << "BLE LightController::stopInternal";
    _worker->runFunctionSync([this](QObject*) {
        discoveryAgent->stop();
        connectLimit->stop();
        if (controller) {
            // Its signals no longer reach us: a late `disconnected` must not
            // tear down the next attempt.
            controller->disconnect(this);
            if (controller->state() == QLowEnergyController::ConnectedState)
                controller->disconnectFromDevice();
            controller->deleteLater();
        }
        if (service) {
            service->disconnect(this);
            service->deleteLater();
        }
        controller = nullptr;
        service = nullptr;
        writeCharacteristic = QLowEnergyCharacteristic();
        notifyCharacteristic = QLowEnergyCharacteristic();
        _connected = false;
        emit onStatusChanged(false);
    });
}

void LightController::connectTo(const QBluetoothDeviceInfo& device)
{
    if (controller || !enabled)
        return;
    qDebug() << "BLE Device Found" << device.name() << "stopping discovery";
    discoveryAgent->stop();
    lastDiscoveryError.clear();
    controller = QLowEnergyController::createCentral(device, _worker.get());
    connect(controller, &QLowEnergyController::errorOccurred, this,
            [](QLowEnergyController::Error error) { qWarning() << "BLE errorOccurred:" << enumName(error); });
    connect(controller, &QLowEnergyController::connected, this, [this] { controller->discoverServices(); });
    connect(controller, &QLowEnergyController::disconnected, this, [this] {
        qDebug() << "BLE Device disconnected!";
        stopInternal();
    });
    connect(controller, &QLowEnergyController::serviceDiscovered, this, &LightController::onServiceDiscovered);
    connect(controller, &QLowEnergyController::discoveryFinished, this, [this] {
        if (!service) {
            qWarning() << "BLE Service not found!";
            stopInternal();
        }
    });
    // The attempt runs past the status tick, within its own limit.
    connectLimit->start(kConnectLimitMs);
    controller->connectToDevice();
}

void LightController::onServiceDiscovered(const QBluetoothUuid& uuid)
{
    qDebug() << "BLE Service Discovered: " << uuid.toString();
    if (service || uuid != QBluetoothUuid(_serviceUuid))
        return;
    qDebug() << "BLE Service Found" << uuid.toString() << "creating service...";
    service = controller->createServiceObject(uuid, _worker.get());
    if (!service)
        return;
    connect(service, &QLowEnergyService::characteristicChanged, this, &LightController::onNotification);
    connect(service, &QLowEnergyService::characteristicRead, this,
            [](const QLowEnergyCharacteristic& c, const QByteArray& v) {
                qDebug() << "BLE characteristicRead:" << c.uuid().toString() << hex(v);
            });
    connect(service, &QLowEnergyService::characteristicWritten, this,
            [](const QLowEnergyCharacteristic& c, const QByteArray& v) {
                qDebug() << "BLE characteristicWritten:" << c.uuid().toString() << hex(v);
            });
    connect(service, &QLowEnergyService::descriptorRead, this, [](const QLowEnergyDescriptor& d, const QByteArray& v) {
        qDebug() << "BLE descriptorRead:" << d.uuid().toString() << hex(v);
    });
    connect(service, &QLowEnergyService::descriptorWritten, this,
            [](const QLowEnergyDescriptor& d, const QByteArray& v) {
                qDebug() << "BLE descriptorWritten:" << d.uuid().toString() << hex(v);
            });
    connect(service, &QLowEnergyService::errorOccurred, this,
            [](QLowEnergyService::ServiceError error) { qDebug() << "BLE errorOccurred:" << enumName(error); });
    connect(service, &QLowEnergyService::stateChanged, this, &LightController::onServiceState);
    service->discoverDetails();
}

void LightController::onServiceState(QLowEnergyService::ServiceState state)
{
    if (state != QLowEnergyService::RemoteServiceDiscovered || !service)
        return;
    const QBluetoothUuid descriptorUuid(_descriptorUuid);
    for (const QLowEnergyCharacteristic& c : service->characteristics()) {
        qDebug() << "BLE Characteristic: " << c.name() << c.uuid().toString();
        const auto props = c.properties();
        if (props & QLowEnergyCharacteristic::Write)
            qDebug() << "BLE Characteristic Supports Write";
        if (props & QLowEnergyCharacteristic::WriteNoResponse)
            qDebug() << "BLE Characteristic Supports WriteNoResponse";
        if (props & QLowEnergyCharacteristic::Notify)
            qDebug() << "BLE Characteristic Supports Notify";
        if (props & QLowEnergyCharacteristic::Read)
            qDebug() << "BLE Characteristic Supports Read";
        for (const QLowEnergyDescriptor& d : c.descriptors())
            qDebug() << "BLE descriptor:" << d.name() << int(d.type()) << d.uuid().toString() << hex(d.value());
        const QLowEnergyDescriptor notification = c.descriptor(descriptorUuid);
        if (notification.isValid() && (props & QLowEnergyCharacteristic::Notify)) {
            qDebug() << "BLE Notification Descriptor found, enabling notifications for"
                     << notification.uuid().toString();
            service->writeDescriptor(notification, QByteArray::fromHex("0100"));
            notifyCharacteristic = c;
        }
    }
    writeCharacteristic = service->characteristic(QBluetoothUuid(_characteristicUuid));
    if (!writeCharacteristic.isValid()) {
        qWarning() << "BLE Characteristic not found!";
        stopInternal();
        return;
    }
    qDebug() << "BLE Characteristic found!";
    connectLimit->stop();
    _connected = true;
    emit onStatusChanged(true);
    sendUnconfirmed();
}

void LightController::onNotification(const QLowEnergyCharacteristic& characteristic, const QByteArray& value)
{
    if (characteristic != notifyCharacteristic)
        return;
    qDebug() << "BLE characteristicChanged:" << characteristic.uuid().toString() << hex(value);
    const auto values = lightframes::parseNotification(value);
    if (!values) {
        // A wrong length, wrong markers or a value outside 0..100: not the
        // panel's report, and nothing of it is stored.
        qDebug() << "BLE notification ignored:" << hex(value);
        return;
    }
    qDebug() << "BLE Changed - brightness:" << values->brightness << "temperature:" << values->raw;
    if (unconfirmedBrightness == values->brightness)
        unconfirmedBrightness.reset();
    if (unconfirmedTemperature && lightframes::rawTemperature(*unconfirmedTemperature) == values->raw)
        unconfirmedTemperature.reset();
    if (values->brightness != settings->getSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness).toInt()) {
        settings->setSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness, values->brightness);
        emit onBrightness(values->brightness, false);
    }
    if (values->kelvin != settings->getSetting(BaseSettings::BLELight, BaseSettings::BLETemperature).toInt()) {
        settings->setSetting(BaseSettings::BLELight, BaseSettings::BLETemperature, values->kelvin);
        emit onTemperature(values->kelvin, false);
    }
}

void LightController::checkStatus()
{
    const bool discovering = discoveryAgent->isActive();
    qDebug() << "BLE Status" << connectedNow() << " (" << bool(enabled) << ") - discovering = " << discovering;
    // A controller that exists but is not connected is an attempt under way,
    // bounded by its own limit: restarting the search would kill it.
    if (enabled && !connectedNow() && !discovering && !controller) {
        qDebug() << "BLE Status - restarting";
        start();
    }
}

bool LightController::setBrightness(long value, bool)
{
    return queueCommand(Command::Brightness, lightframes::clampBrightness(value));
}

bool LightController::setTemperature(long value, bool)
{
    return queueCommand(Command::Temperature, lightframes::clampKelvin(value));
}

bool LightController::queueCommand(Command kind, long value)
{
    if (!_connected)
        return false;
    return _worker->runFunctionAsync([this, kind, value](QObject*) {
        if (connectedNow()) {
            sendCommand(kind, int(value));
            return;
        }
        // Accepted while connected, but the link dropped before it went out:
        // it goes out with the next connection.
        (kind == Command::Brightness ? unconfirmedBrightness : unconfirmedTemperature) = int(value);
    });
}

void LightController::sendCommand(Command kind, int value)
{
    const bool brightness = kind == Command::Brightness;
    qDebug() << (brightness ? "Sending data to BLE - setBrightness" : "Sending data to BLE - setTemperature") << value;
    const QByteArray frame =
        brightness ? lightframes::brightnessCommand(value) : lightframes::temperatureCommand(value);
    service->writeCharacteristic(writeCharacteristic, frame, QLowEnergyService::WriteWithoutResponse);
    (brightness ? unconfirmedBrightness : unconfirmedTemperature) = value;
    settings->setSetting(BaseSettings::BLELight,
                         brightness ? BaseSettings::BLEBrightness : BaseSettings::BLETemperature, value);
}

void LightController::sendUnconfirmed()
{
    if (unconfirmedBrightness)
        sendCommand(Command::Brightness, *unconfirmedBrightness);
    if (unconfirmedTemperature)
        sendCommand(Command::Temperature, *unconfirmedTemperature);
}

bool LightController::connectedNow() const
{
    return writeCharacteristic.isValid() && service && controller;
}

CameraSetting LightController::getBrightness() const
{
    return lightSetting(settings->getSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness).toInt(),
                        lightframes::kMaxBrightness, 50);
}

CameraSetting LightController::getTemperature() const
{
    return lightSetting(settings->getSetting(BaseSettings::BLELight, BaseSettings::BLETemperature).toInt(),
                        lightframes::kMaxKelvin, 3250);
}
