#include "AVFUtils.h"

#include "platform/EndpointControl.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <functional>

namespace AVFUtils {

namespace {

using Endpoint = EndpointControl::Endpoint;

// Finds the endpoint and runs `work` on it: true exactly when the endpoint
// was found and the work succeeded.
bool withDeviceByName(const QString& name, bool capture,
                      const std::function<bool(EndpointControl&, const Endpoint&)>& work)
{
    if (name.isEmpty())
        return false;
    const std::unique_ptr<EndpointControl> control = EndpointControl::create();
    if (!control) {
        qWarning() << "Failed to connect to the sound server.";
        return false;
    }
    const std::optional<Endpoint> endpoint = control->find(name, capture);
    if (!endpoint) {
        qWarning() << "Device not found.";
        return false;
    }
    return work(*control, *endpoint);
}

} // namespace

bool getDeviceVolumeByName(const QString& name, float& volume, bool capture)
{
    return withDeviceByName(name, capture, [&](EndpointControl& control, const Endpoint& endpoint) {
        const std::optional<float> level = control.volume(endpoint);
        if (!level) {
            qWarning() << "Failed to get the master volume level.";
            return false;
        }
        volume = *level;
        return true;
    });
}

bool setDeviceVolumeByName(const QString& name, float volume, bool capture)
{
    if (!(volume >= 0.0f && volume <= 1.0f)) {
        if (!name.isEmpty())
            qWarning() << "Failed to set the master volume level: out of range" << volume;
        return false;
    }
    return withDeviceByName(name, capture, [&](EndpointControl& control, const Endpoint& endpoint) {
        if (control.setVolume(endpoint, volume))
            return true;
        qWarning() << "Failed to set the master volume level.";
        return false;
    });
}

bool getDeviceMuteByName(const QString& name, bool& mute, bool capture)
{
    return withDeviceByName(name, capture, [&](EndpointControl& control, const Endpoint& endpoint) {
        const std::optional<bool> muted = control.mute(endpoint);
        if (!muted) {
            qWarning() << "Failed to get the master mute.";
            return false;
        }
        mute = *muted;
        return true;
    });
}

bool setDeviceMuteByName(const QString& name, bool mute, bool capture)
{
    return withDeviceByName(name, capture, [&](EndpointControl& control, const Endpoint& endpoint) {
        if (control.setMute(endpoint, mute))
            return true;
        qWarning() << "Failed to set the master mute.";
        return false;
    });
}

bool isDeviceAvailable(const QString& name, bool capture)
{
    return withDeviceByName(name, capture, [](EndpointControl&, const Endpoint&) { return true; });
}

bool setDevicePropertiesByName(const QString& name, QString newName, const QString& iconPath, bool capture)
{
    return withDeviceByName(name, capture, [&](EndpointControl& control, const Endpoint& endpoint) {
        if (newName.isEmpty()) {
            qWarning() << "Failed to set friendly name: it is empty.";
            return false;
        }
        if (!control.setDescription(endpoint, newName)) {
            qWarning() << "Failed to set friendly name.";
            return false;
        }
        // The icon is copied where it outlives a moved or resource path.
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        const QString target = QDir::toNativeSeparators(folder + QLatin1Char('/') + QFileInfo(iconPath).fileName());
        QFile source(iconPath), copy(target);
        if (iconPath.isEmpty() || !QDir().mkpath(folder) || !source.open(QIODevice::ReadOnly)
            || !copy.open(QIODevice::WriteOnly | QIODevice::Truncate) || copy.write(source.readAll()) < 0
            || !copy.flush()) {
            qWarning() << "Failed to copy the icon" << iconPath << "to" << target;
            return false;
        }
        if (!control.setIcon(endpoint, target)) {
            qWarning() << "Failed to set icon.";
            return false;
        }
        return true;
    });
}

bool hideDeviceByName(QString name, bool capture)
{
    qDebug() << "Hiding" << (capture ? "recording" : "playback") << "endpoint" << name
             << "skipped: the sound server has no hidden endpoints";
    return false;
}

bool setDefaultDevice(const QString& deviceId)
{
    if (deviceId.isEmpty())
        return false;
    const std::unique_ptr<EndpointControl> control = EndpointControl::create();
    if (!control || !control->setDefault(deviceId)) {
        qDebug() << deviceId << "could not be made the default device";
        return false;
    }
    qDebug() << deviceId << "successfully set as default device";
    return true;
}

QString getDefaultDeviceId(bool capture)
{
    const std::unique_ptr<EndpointControl> control = EndpointControl::create();
    return control ? control->defaultId(capture) : QString();
}

} // namespace AVFUtils
