// Start at login through an XDG autostart entry in the user's config folder.
#include "LoginLauncher.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace {

const char* const kEntryName = "VantorControl.desktop";

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/")
           + QLatin1String(kEntryName);
}

// Quotes a program path for the Exec key: inside double quotes the characters
// " ` $ and \ are escaped with a backslash, and the value as a whole then
// escapes its backslashes once more.
QString execValue(const QString& program)
{
    QString quoted;
    for (QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted = u'"' + quoted + u'"';
    return quoted.replace(u'\\', QStringLiteral("\\\\"));
}

QString unescapeExec(QString value)
{
    // Reverses execValue for the first quoted word of an Exec value.
    QString unescaped;
    for (int i = 0; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size())
            ++i;
        unescaped += value[i];
    }
    value = unescaped;
    if (!value.startsWith(u'"'))
        return value.section(u' ', 0, 0);
    QString program;
    for (int i = 1; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size()) {
            program += value[++i];
            continue;
        }
        if (value[i] == u'"')
            break;
        program += value[i];
    }
    return program;
}

class XdgAutostartLauncher final : public LoginLauncher
{
public:
    bool enable(const QString& nativePath) override
    {
        const QString path = entryPath();
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            return false;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
            return false;
        const QString entry = QStringLiteral("[Desktop Entry]\n"
                                             "Type=Application\n"
                                             "Name=Vantor Control\n"
                                             "Exec=%1\n"
                                             "Terminal=false\n"
                                             "X-GNOME-Autostart-enabled=true\n")
                                  .arg(execValue(nativePath));
        file.write(entry.toUtf8());
        return file.commit();
    }

    bool disable() override
    {
        const QString path = entryPath();
        return !QFile::exists(path) || QFile::remove(path);
    }

    QString registeredProgram() const override
    {
        QFile file(entryPath());
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return {};
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (line.startsWith(QLatin1String("Exec=")))
                return unescapeExec(line.mid(5));
        }
        return {};
    }
};

} // namespace

std::unique_ptr<LoginLauncher> LoginLauncher::create()
{
    return std::make_unique<XdgAutostartLauncher>();
}
