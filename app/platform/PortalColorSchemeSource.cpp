// Colour scheme from the desktop portal's appearance setting, falling back to
// the lightness of the application palette where no portal answers.
#include "ColorSchemeSource.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDebug>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>

namespace {

const char* const kService = "org.freedesktop.portal.Desktop";
const char* const kPath = "/org/freedesktop/portal/desktop";
const char* const kInterface = "org.freedesktop.portal.Settings";
const char* const kNamespace = "org.freedesktop.appearance";
const char* const kKey = "color-scheme";
// A portal that does not answer within this time is treated as absent.
constexpr int kCallTimeoutMs = 500;

enum class Preference { None = 0, Dark = 1, Light = 2 };

QVariant unwrap(QVariant value)
{
    while (value.userType() == qMetaTypeId<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

Preference toPreference(const QVariant& value)
{
    bool ok = false;
    const uint v = unwrap(value).toUInt(&ok);
    if (!ok || v > 2)
        return Preference::None;
    return static_cast<Preference>(v);
}

bool paletteIsDark()
{
    const QPalette palette = QGuiApplication::palette();
    return palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness();
}

class PortalColorSchemeSource final : public ColorSchemeSource
{
    Q_OBJECT
public:
    explicit PortalColorSchemeSource(QObject* parent)
        : ColorSchemeSource(parent)
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected()) {
            _preference = readPreference(bus);
            bus.connect(kService, kPath, kInterface, QStringLiteral("SettingChanged"), this,
                        SLOT(onSettingChanged(QString, QString, QDBusVariant)));
        }
        if (qApp)
            qApp->installEventFilter(this);
    }

    bool isDark() const override
    {
        switch (_preference) {
        case Preference::Dark:
            return true;
        case Preference::Light:
            return false;
        case Preference::None:
            break;
        }
        return paletteIsDark();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
            emit colorSchemeChanged();
        return ColorSchemeSource::eventFilter(watched, event);
    }

private slots:
    void onSettingChanged(const QString& ns, const QString& key, const QDBusVariant& value)
    {
        if (ns != QLatin1String(kNamespace) || key != QLatin1String(kKey))
            return;
        _preference = toPreference(value.variant());
        emit colorSchemeChanged();
    }

private:
    static Preference readPreference(QDBusConnection& bus)
    {
        // ReadOne is the current method; older portals only offer Read, whose
        // answer is wrapped in one more variant.
        for (const char* method : {"ReadOne", "Read"}) {
            QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QLatin1String(method));
            call << QString::fromLatin1(kNamespace) << QString::fromLatin1(kKey);
            const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
            if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
                return toPreference(reply.arguments().constFirst());
            if (reply.errorName() != QLatin1String("org.freedesktop.DBus.Error.UnknownMethod"))
                break;
        }
        return Preference::None;
    }

    Preference _preference = Preference::None;
};

} // namespace

std::unique_ptr<ColorSchemeSource> ColorSchemeSource::create(QObject* parent)
{
    return std::make_unique<PortalColorSchemeSource>(parent);
}

#include "PortalColorSchemeSource.moc"
