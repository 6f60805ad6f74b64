#include "FuzzSupport.h"

#include "net/FtpConst.h"

// The size announced in a preliminary reply: never negative, never a crash on any line.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray line(reinterpret_cast<const char*>(data), qsizetype(size));
    if (FtpConst::ParseTransferSize(line) < 0)
        std::abort();
    return 0;
}
