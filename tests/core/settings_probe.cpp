// Reads or writes one setting in a process of its own, so tests can check what
// really reached the store on disk: settings_probe get GROUP KEY | set GROUP KEY VALUE
#include "BaseSettings.h"

#include <QCoreApplication>
#include <QMetaEnum>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4)
        return 2;
    bool okGroup = false;
    bool okKey = false;
    const auto group = BaseSettings::Settings(
        QMetaEnum::fromType<BaseSettings::Settings>().keyToValue(args[2].toLatin1().constData(), &okGroup));
    const auto key = BaseSettings::SubSettings(
        QMetaEnum::fromType<BaseSettings::SubSettings>().keyToValue(args[3].toLatin1().constData(), &okKey));
    if (!okGroup || !okKey)
        return 2;
    BaseSettings settings;
    if (args[1] == QLatin1String("set") && args.size() == 5) {
        settings.setSetting(group, key, args[4]);
        return 0;
    }
    const QVariant value = settings.getSetting(group, key);
    std::printf("%s\n", value.isValid() ? qPrintable(value.toString()) : "<invalid>");
    return 0;
}
