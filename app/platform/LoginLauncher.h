#pragma once

#include <QString>

#include <memory>

// Registers or removes the program as one the desktop starts at login.
class LoginLauncher
{
public:
    virtual ~LoginLauncher() = default;

    // Registers `nativePath` to start at login; returns false when it could not be written.
    virtual bool enable(const QString& nativePath) = 0;
    virtual bool disable() = 0;
    // The program registered to start at login, or an empty string.
    virtual QString registeredProgram() const = 0;

    static std::unique_ptr<LoginLauncher> create();
};
