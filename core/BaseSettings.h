#pragma once

#include <QMap>
#include <QRecursiveMutex>
#include <QSettings>
#include <QVariant>

// The application's one persistent store of user choices. Keys are the names of
// the two enumerations below, so a key is always the enumerator's own spelling.
// Group values are maps merged with their defaults on read and rewritten whole,
// with a fresh "LastModified" stamp, on every write.
class BaseSettings : public QSettings
{
    Q_OBJECT
public:
    enum Settings {
        SkinTone = 0,
        BackgroundBlur,
        CameraRotation,
        FineCameraRotation,
        BLELight,
        General,
        LogoOverlay,
        TextOverlay,
        DSPCompressor,
        DSPBass,
        DSPTreble,
        DSPRNN,
        DSPAGC,
        SkipAudioDriver,
    };
    Q_ENUM(Settings)

    enum SubSettings {
        LastModified = 0,
        Enabled,
        ImageData,
        HAlign,
        VAlign,
        Size,
        MarginX,
        MarginY,
        Opacity,
        FlipHorizontal,
        FlipVertical,
        TextLine1,
        Line1Size,
        TextLine2,
        Line2Size,
        TextHAlign,
        TextBold,
        TextShadowColor,
        LogoShadowColor,
        TextFillColor,
        TextFontFamily,
        LowPowerMode,
        StartAtLogin,
        BLEBrightness,
        BLETemperature,
        DSP_Strength,
    };
    Q_ENUM(SubSettings)

    BaseSettings();
    ~BaseSettings() override;

    bool loadGroup(Settings group, QVariantMap& out);
    QVariant getSetting(Settings group, SubSettings key);
    bool setSetting(Settings group, SubSettings key, const QVariant& value);

    static QString keyName(Settings group);
    static QString keyName(SubSettings key);
    // The defaults of a group; empty for the slider keys and SkipAudioDriver.
    static QVariantMap groupDefaults(Settings group);

private:
    QRecursiveMutex _mutex;
    QMap<Settings, QVariantMap> _groups;
};
