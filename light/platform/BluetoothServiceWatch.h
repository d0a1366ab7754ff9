#pragma once

#include <QObject>

#include <functional>

// Tells when the system's Bluetooth service goes away (it stops or restarts).
// The links it held are gone with it, and Qt Bluetooth does not say so: a
// controller would stay "connected" to nothing. The watch lives on the thread
// that creates it and calls `onLost` there; it is a child of `parent`.
QObject* watchBluetoothService(QObject* parent, std::function<void()> onLost);
