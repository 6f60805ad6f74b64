#include "FuzzSupport.h"

#include "platform/IconBlob.h"

// An icon blob from the database: a picture or a null image, whatever the bytes claim.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzDrive();
    const QByteArray blob(reinterpret_cast<const char*>(data), qsizetype(size));
    const QImage image = decodeIconBlob(blob);
    (void)image.isNull();
    return 0;
}
