#include "FuzzSupport.h"

#include "data/ProfileFile.h"
#include "platform/Exception.h"

// Any bytes as a settings file: reading the sections the launcher uses, and a write into it,
// must end in a result, never in a crash or an unbounded allocation.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = writeDriveFile(QStringLiteral("quorvane.ini"), data, size);
    ProfileFile ini(path);
    QStringList keys;
    for (const char* section : {"dblist", "lastuser", "progversion"}) {
        ini.readSection(QLatin1String(section), keys);
        for (const QString& key : keys)
            (void)ini.readString(QLatin1String(section), key, QStringLiteral("0.000"));
    }
    (void)ini.readString(QStringLiteral("lastuser"), QStringLiteral("username"), QString());
    try {
        ini.writeString(QStringLiteral("progversion"), QStringLiteral("ledger.exe"),
                        QStringLiteral("1.250"));
    } catch (const Exception&) {
    }
    return 0;
}
