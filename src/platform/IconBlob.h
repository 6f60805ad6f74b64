#pragma once

#include <QByteArray>
#include <QImage>

// The picture of a program's icon blob: a Windows bitmap, optionally led by the 8-byte header
// (1 and 0x0100 as 16-bit little-endian numbers, then the length of the rest as 32 bits).
// An empty blob, or one that holds no readable bitmap, gives a null image; never throws.
// A blob larger than MaxIconBlobBytes is not decoded at all: an icon needs a few KiB, and a
// huge one would cost the sign-in its time and memory.
QImage decodeIconBlob(const QByteArray& blob);

// Room for a 256 x 256 icon of 32-bit pixels with its mask.
inline constexpr qsizetype MaxIconBlobBytes = 512 * 1024;
