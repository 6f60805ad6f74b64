#include "platform/IconExtract.h"

ExtractedIcon ExtractIconA(const QString& /*windowsPath*/, unsigned /*index*/) {
    return {};
}
