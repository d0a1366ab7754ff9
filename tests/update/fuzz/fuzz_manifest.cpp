// Fuzzes the update manifest reader: whatever the bytes, it returns without
// fault, and a release it picks is newer than the running version and carries
// the version its text says.
#include "UpdateManifest.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const Version running {0, 25, 8};
    const ManifestReading reading = readManifest(bytes, u"linux", running);
    if (reading.newest) {
        const UpdateInfo& ui = *reading.newest;
        const auto parsed = Version::parse(ui.version);
        if (reading.fault != ManifestReading::None || !parsed || *parsed != ui.parsedVersion() || !(*parsed > running)
            || ui.major < 0 || ui.minor < 0 || ui.patch < 0 || (!ui.sha256.isEmpty() && ui.sha256.size() != 32)
            || (ui.size != -1 && ui.size < 1))
            abort();
    }
    // The same bytes as a version text.
    if (const auto v = Version::parse(QString::fromUtf8(bytes)); v && (v->major < 0 || v->minor < 0 || v->patch < 0))
        abort();
    return 0;
}
