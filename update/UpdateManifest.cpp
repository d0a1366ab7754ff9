#include "UpdateManifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <climits>

std::optional<Version> Version::parse(QStringView text)
{
    const auto parts = text.split(u'.', Qt::SkipEmptyParts);
    if (parts.size() != 3)
        return std::nullopt;
    int numbers[3] = {};
    for (int i = 0; i < 3; ++i) {
        const QStringView part = parts[i];
        if (part.size() > 9 || !std::all_of(part.begin(), part.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
            return std::nullopt;
        numbers[i] = part.toInt();
    }
    return Version {numbers[0], numbers[1], numbers[2]};
}

int Version::packed() const
{
    const qint64 n = qint64(major) * 100000 + qint64(minor) * 1000 + patch;
    return int(std::min<qint64>(n, INT_MAX));
}

namespace {

ManifestReading fault(ManifestReading::Fault f, const QString& detail)
{
    ManifestReading r;
    r.fault = f;
    r.detail = detail;
    return r;
}

// "sha256": 64 hexadecimal digits.
std::optional<QByteArray> digest(const QJsonValue& v)
{
    const QString text = v.toString();
    if (!v.isString() || text.size() != 64 || !std::all_of(text.begin(), text.end(), [](QChar c) {
            return c.isDigit() || (c.toLower() >= u'a' && c.toLower() <= u'f');
        }))
        return std::nullopt;
    return QByteArray::fromHex(text.toLatin1());
}

// "size": a positive whole number of bytes that a double holds exactly.
std::optional<qint64> byteCount(const QJsonValue& v)
{
    const double d = v.toDouble(-1);
    if (!v.isDouble() || d < 1 || d > 9007199254740992.0 || d != double(qint64(d)))
        return std::nullopt;
    return qint64(d);
}

} // namespace

ManifestReading readManifest(const QByteArray& json, QStringView platform, const Version& running)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return fault(ManifestReading::Malformed, error.errorString());
    if (!doc.isObject())
        return fault(ManifestReading::Malformed, QStringLiteral("not a JSON object"));
    const QJsonValue updates = doc.object().value(QLatin1String("updates"));
    if (updates.isUndefined())
        return {};
    if (!updates.isArray())
        return fault(ManifestReading::Malformed, QStringLiteral("\"updates\" is not an array"));

    std::optional<UpdateInfo> newest;
    bool anyMandatory = false;
    for (const QJsonValue& entry : updates.toArray()) {
        const QJsonObject release = entry.toObject();
        const QJsonValue os = release.value(QLatin1String("os"));
        const QJsonValue version = release.value(QLatin1String("version"));
        const QJsonValue url = release.value(QLatin1String("url"));
        if (!os.isString() || !version.isString() || !url.isString())
            return fault(ManifestReading::MissingField,
                         QStringLiteral("a release lacks \"os\", \"version\" or \"url\""));
        if (os.toString() != platform)
            continue;
        const auto v = Version::parse(version.toString());
        if (!v)
            return fault(ManifestReading::InvalidVersion, version.toString());

        UpdateInfo info;
        info.version = version.toString();
        info.major = v->major;
        info.minor = v->minor;
        info.patch = v->patch;
        info.versionNumber = v->packed();
        info.url = url.toString();

        const QJsonValue mandatory = release.value(QLatin1String("mandatory"));
        const QJsonValue whatsNew = release.value(QLatin1String("whats_new_url"));
        const QJsonValue sha256 = release.value(QLatin1String("sha256"));
        const QJsonValue size = release.value(QLatin1String("size"));
        if ((!mandatory.isUndefined() && !mandatory.isBool()) || (!whatsNew.isUndefined() && !whatsNew.isString()))
            return fault(ManifestReading::MissingField,
                         QStringLiteral("release %1 has a mistyped field").arg(info.version));
        info.mandatory = mandatory.toBool(false);
        info.whatsNewUrl = whatsNew.toString();
        if (!sha256.isUndefined()) {
            const auto d = digest(sha256);
            if (!d)
                return fault(ManifestReading::MissingField,
                             QStringLiteral("release %1 has a malformed \"sha256\"").arg(info.version));
            info.sha256 = *d;
        }
        if (!size.isUndefined()) {
            const auto n = byteCount(size);
            if (!n)
                return fault(ManifestReading::MissingField,
                             QStringLiteral("release %1 has a malformed \"size\"").arg(info.version));
            info.size = *n;
        }

        if (*v <= running)
            continue;
        anyMandatory = anyMandatory || info.mandatory;
        if (!newest || *v > newest->parsedVersion())
            newest = info;
    }

    ManifestReading r;
    if (newest) {
        // A newer release that is mandatory makes the newest one mandatory:
        // skipping over it must not skip its urgency.
        newest->mandatory = anyMandatory;
        r.newest = newest;
    }
    return r;
}
