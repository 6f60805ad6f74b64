#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

// One application object and one scratch drive folder (in memory when /dev/shm exists) for the
// whole fuzzing process.
inline QTemporaryDir& fuzzDrive() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir dir(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/qvfuzz-XXXXXX")
                                                        : QDir::tempPath() + "/qvfuzz-XXXXXX");
    static const bool set = qputenv("QUORVANE_DRIVE_C", dir.path().toLocal8Bit());
    (void)set;
    return dir;
}

// Writes the input as a file of the drive folder and returns its Windows path.
inline QString writeDriveFile(const QString& name, const uint8_t* data, size_t size) {
    QFile file(fuzzDrive().filePath(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    return QStringLiteral("c:\\") + name;
}
