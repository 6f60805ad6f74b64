#include "FuzzSupport.h"

#include "platform/IconExtract.h"

// A program or icon file of any content: the icon reader gives 0, 1 or an icon.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = writeDriveFile(QStringLiteral("program.exe"), data, size);
    const ExtractedIcon icon = ExtractIconA(path, 0);
    if (icon.result >= 2 && icon.image.isNull())
        std::abort();
    return 0;
}
