#include "BaseSettings.h"

#include <QColor>
#include <QDateTime>
#include <QDebug>
#include <QMetaEnum>
#include <QMutexLocker>

namespace {

const char* const kOrganisation = "Quillet";
const char* const kApplication = "VantorControl";

QVariantMap overlayDefaults()
{
    return {
        {BaseSettings::keyName(BaseSettings::Enabled), false},
        {BaseSettings::keyName(BaseSettings::HAlign), 1},
        {BaseSettings::keyName(BaseSettings::VAlign), 32},
        {BaseSettings::keyName(BaseSettings::Size), 0.4},
        {BaseSettings::keyName(BaseSettings::Opacity), 1.0},
        {BaseSettings::keyName(BaseSettings::FlipHorizontal), false},
        {BaseSettings::keyName(BaseSettings::FlipVertical), false},
        {BaseSettings::keyName(BaseSettings::LogoShadowColor), QColor(0, 0, 0, 255)},
    };
}

QVariantMap dspDefaults(bool enabled, int strength)
{
    return {
        {BaseSettings::keyName(BaseSettings::Enabled), enabled},
        {BaseSettings::keyName(BaseSettings::DSP_Strength), strength},
    };
}

// Whether a stored value can stand for a key whose default is `def`. Writers may
// store another type than the default has (a float for a double, say), so this
// asks whether the value converts, not whether its type matches.
bool usableAs(const QVariant& stored, const QVariant& def)
{
    if (!stored.isValid())
        return false;
    bool ok = false;
    switch (def.typeId()) {
    case QMetaType::Bool:
        if (stored.typeId() == QMetaType::QString) {
            const QString s = stored.toString().trimmed().toLower();
            return s == u"true" || s == u"false" || s == u"1" || s == u"0";
        }
        stored.toInt(&ok);
        return stored.typeId() == QMetaType::Bool || ok;
    case QMetaType::Int:
        stored.toInt(&ok);
        return ok;
    case QMetaType::Double:
        stored.toDouble(&ok);
        return ok;
    case QMetaType::QString:
        return stored.canConvert<QString>() && stored.typeId() != QMetaType::QVariantMap
            && stored.typeId() != QMetaType::QVariantList && stored.typeId() != QMetaType::QStringList;
    default:
        if (def.typeId() == QMetaType::QColor)
            return stored.value<QColor>().isValid();
        return stored.canConvert(def.metaType());
    }
}

} // namespace

BaseSettings::BaseSettings()
    : QSettings(QSettings::NativeFormat, QSettings::UserScope, kOrganisation, kApplication)
{
    qDebug() << "Settings at" << fileName();
    sync();
}

BaseSettings::~BaseSettings() = default;

QString BaseSettings::keyName(Settings group)
{
    return QString::fromLatin1(QMetaEnum::fromType<Settings>().valueToKey(group));
}

QString BaseSettings::keyName(SubSettings key)
{
    return QString::fromLatin1(QMetaEnum::fromType<SubSettings>().valueToKey(key));
}

QVariantMap BaseSettings::groupDefaults(Settings group)
{
    switch (group) {
    case General:
        return {
            {keyName(FlipHorizontal), false},
            {keyName(LowPowerMode), false},
            {keyName(StartAtLogin), true},
        };
    case BLELight:
        return {
            {keyName(BLEBrightness), 50},
            {keyName(BLETemperature), 50},
        };
    case DSPCompressor:
        return dspDefaults(false, 60);
    case DSPBass:
    case DSPTreble:
        return dspDefaults(false, 50);
    case DSPRNN:
        return dspDefaults(false, 100);
    case DSPAGC:
        return dspDefaults(true, 50);
    case LogoOverlay: {
        QVariantMap map = overlayDefaults();
        map.insert(keyName(MarginX), 0.0);
        map.insert(keyName(MarginY), 0.0);
        return map;
    }
    case TextOverlay: {
        QVariantMap map = overlayDefaults();
        map.insert(keyName(MarginX), 0.5);
        map.insert(keyName(MarginY), 0.5);
        map.insert(keyName(TextLine1), QStringLiteral("Add text here"));
        map.insert(keyName(TextLine2), QStringLiteral("Add text here"));
        map.insert(keyName(TextHAlign), 4);
        map.insert(keyName(Line1Size), 0.4);
        map.insert(keyName(Line2Size), 0.2);
        map.insert(keyName(TextBold), true);
        map.insert(keyName(TextShadowColor), QColor(0, 0, 0, 255));
        map.insert(keyName(TextFillColor), QColor(255, 255, 255, 255));
        map.insert(keyName(TextFontFamily), QStringLiteral("Arial"));
        return map;
    }
    case SkinTone:
    case BackgroundBlur:
    case CameraRotation:
    case FineCameraRotation:
    case SkipAudioDriver:
        break;
    }
    return {};
}

bool BaseSettings::loadGroup(Settings group, QVariantMap& out)
{
    QMutexLocker locker(&_mutex);
    if (auto cached = _groups.constFind(group); cached != _groups.cend()) {
        out = *cached;
        return true;
    }
    const QVariantMap defaults = groupDefaults(group);
    if (defaults.isEmpty())
        return false;

    // A value that is not a map (or a damaged one) reads as an empty map, which
    // the defaults then fill; so does any entry that cannot stand for its key.
    QVariantMap merged = value(keyName(group), QVariant(defaults)).toMap();
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it) {
        if (!usableAs(merged.value(it.key()), it.value()))
            merged.insert(it.key(), it.value());
    }
    _groups.insert(group, merged);
    out = merged;
    return true;
}

QVariant BaseSettings::getSetting(Settings group, SubSettings key)
{
    QVariantMap map;
    if (!loadGroup(group, map))
        return {};
    return map.value(keyName(key));
}

bool BaseSettings::setSetting(Settings group, SubSettings key, const QVariant& value)
{
    // The whole read-modify-write runs under the lock: two threads changing
    // different keys of one group must not overwrite each other's change, and
    // one QSettings object must not be written from two threads at once.
    QMutexLocker locker(&_mutex);
    QVariantMap map;
    if (!loadGroup(group, map))
        return true;
    map.insert(keyName(key), value);
    map.insert(keyName(LastModified), QDateTime::currentMSecsSinceEpoch());
    _groups.insert(group, map);
    setValue(keyName(group), QVariant(map));
    sync();
    return true;
}
