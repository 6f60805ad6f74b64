#pragma once

#include <QImage>
#include <QString>

class QIODevice;

// Result of reading the first icon of a file: result 0 when there is no file or no icon,
// 1 for a file of a kind that holds no icons, 2 or more with the icon in `image`.
struct ExtractedIcon {
    quintptr result = 0;
    QImage image;
};

// The first icon (index 0) of a Windows program file (PE icon resources) or of an .ico file,
// as a 32 x 32 image made from the icon's best image for that size. The path is a Windows
// path and goes through the drive mapping; trailing blanks are ignored, as Windows ignores
// them. Damaged or hostile files give 0 or 1, never a crash. Never throws.
ExtractedIcon ExtractIconA(const QString& windowsPath, unsigned index);

// The same from a file already open for reading: every read is checked against what it
// returned, so a file that shrinks or changes while it is read gives 0 or 1, never a crash.
ExtractedIcon extractIcon(QIODevice& file, unsigned index);
