#pragma once

#include <QObject>

#include <memory>

// Tells whether the desktop prefers a dark colour scheme and announces changes.
class ColorSchemeSource : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    virtual bool isDark() const = 0;

    // The implementation for this platform.
    static std::unique_ptr<ColorSchemeSource> create(QObject* parent = nullptr);

signals:
    void colorSchemeChanged();
};
