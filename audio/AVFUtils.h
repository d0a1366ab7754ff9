#pragma once

#include <QString>

// The sound server's endpoints beyond what Qt Multimedia offers: volume and
// mute, presence, a new name and icon, hiding, and the default devices.
// Endpoints are found by a case-insensitive part of their description, the
// first in the server's order. Free functions, synchronous, callable from any
// thread; each makes its own connection, bounded in time, and reports any
// failure as false (logged), never as success.
namespace AVFUtils {

// 0 to 1.
bool getDeviceVolumeByName(const QString& name, float& volume, bool capture);
// Refuses a volume outside 0 to 1 (the server would amplify above 1).
bool setDeviceVolumeByName(const QString& name, float volume, bool capture);
bool getDeviceMuteByName(const QString& name, bool& mute, bool capture);
bool setDeviceMuteByName(const QString& name, bool mute, bool capture);
bool isDeviceAvailable(const QString& name, bool capture);
// Gives the endpoint the description `newName` and the icon `iconPath` (a
// copy of it in the program's data folder). Stops at the first failing step
// and reports it.
bool setDevicePropertiesByName(const QString& name, QString newName, const QString& iconPath, bool capture);
// Hiding an endpoint has no meaning to the sound server: logged, false.
bool hideDeviceByName(QString name, bool capture);
// Makes the endpoint with this id (QAudioDevice::id()) the default of its
// direction: one default playback and one default recording device, for
// every purpose.
bool setDefaultDevice(const QString& deviceId);
// The id of the default device of a direction (empty when the server cannot
// be asked): Qt Multimedia does not report the default recording device.
QString getDefaultDeviceId(bool capture);

} // namespace AVFUtils
