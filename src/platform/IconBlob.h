#pragma once

#include <QByteArray>
#include <QImage>

// The picture of a program's icon blob: a Windows bitmap, optionally led by the 8-byte header
// (1 and 0x0100 as 16-bit little-endian numbers, then the length of the rest as 32 bits).
// An empty blob, or one that holds no readable bitmap, gives a null image; never throws.
QImage decodeIconBlob(const QByteArray& blob);
