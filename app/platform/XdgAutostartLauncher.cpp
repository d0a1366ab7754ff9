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

// The Exec value for a program path, in the desktop entry format's three
// layers: the path is one double-quoted argument (inside the quotes " ` $ and
// \ take a backslash), a literal % is written %% (field codes start with %),
// and the whole is then a string value, whose backslash, newline, tab and
// carriage return are written \\, \n, \t and \r. Without the last step a path
// with a line break would end the key and start lines of its own.
QString execValue(const QString& program)
{
    QString quoted = QStringLiteral("\"");
    for (QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c == u'%' ? QStringLiteral("%%") : QString(c);
    }
    quoted += u'"';
    QString value;
    for (QChar c : quoted) {
        switch (c.unicode()) {
        case '\\':
            value += QStringLiteral("\\\\");
            break;
        case '\n':
            value += QStringLiteral("\\n");
            break;
        case '\t':
            value += QStringLiteral("\\t");
            break;
        case '\r':
            value += QStringLiteral("\\r");
            break;
        default:
            value += c;
        }
    }
    return value;
}

// Reverses execValue for the first argument of an Exec value.
QString unescapeExec(const QString& value)
{
    QString text; // the string value's escapes undone
    for (int i = 0; i < value.size(); ++i) {
        if (value[i] != u'\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        switch (value[++i].unicode()) {
        case 'n':
            text += u'\n';
            break;
        case 't':
            text += u'\t';
            break;
        case 'r':
            text += u'\r';
            break;
        case 's':
            text += u' ';
            break;
        default:
            text += value[i];
        }
    }
    QString program;
    const bool quoted = text.startsWith(u'"');
    for (int i = quoted ? 1 : 0; i < text.size(); ++i) {
        if (quoted && text[i] == u'\\' && i + 1 < text.size()) {
            program += text[++i];
        } else if (text[i] == u'%' && i + 1 < text.size() && text[i + 1] == u'%') {
            program += text[++i];
        } else if (quoted ? text[i] == u'"' : text[i] == u' ') {
            break;
        } else {
            program += text[i];
        }
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
