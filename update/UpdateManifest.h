#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringView>

#include <compare>
#include <optional>

// A release version: three non-negative numbers, compared part by part.
struct Version
{
    int major = 0;
    int minor = 0;
    int patch = 0;

    // "1.2.3"; empty parts (as in "1..2.3") are skipped. Anything but three
    // decimal numbers of at most nine digits each is refused.
    static std::optional<Version> parse(QStringView text);

    // major × 100000 + minor × 1000 + patch, saturated at INT_MAX: a compact
    // figure for logs and callers that want one. It is not an order (minor
    // 100 and more overflow into major), so nothing compares it.
    int packed() const;

    auto operator<=>(const Version&) const = default;
};

// One release the manifest offers for this platform.
struct UpdateInfo
{
    QString version; // the manifest's text, unchanged
    int major = 0;
    int minor = 0;
    int patch = 0;
    bool mandatory = false;
    QString url;
    QString whatsNewUrl;
    int versionNumber = 0; // Version::packed()
    // Optional: the installer's SHA-256 (32 bytes) and exact size in bytes
    // (-1 when the manifest does not say).
    QByteArray sha256;
    qint64 size = -1;

    Version parsedVersion() const { return {major, minor, patch}; }
};
Q_DECLARE_METATYPE(UpdateInfo)

// What a manifest says about updates for one platform.
struct ManifestReading
{
    enum Fault { None, Malformed, MissingField, InvalidVersion };

    Fault fault = None;
    QString detail; // for the log when fault != None
    // The newest release newer than the running version, mandatory when any
    // newer release is; empty when there is none.
    std::optional<UpdateInfo> newest;
};

// Reads an update manifest: {"updates": [{"os", "version", "url",
// "mandatory"?, "whats_new_url"?, "sha256"?, "size"?}, ...]}. Every release
// must carry "os", "version" and "url" as strings; other platforms' releases
// are otherwise skipped unread. A release for `platform` must have a valid
// version and well-typed optional fields.
ManifestReading readManifest(const QByteArray& json, QStringView platform, const Version& running);
