#include "upgrade/UpgradePaths.h"

QString serverHost(const QString& serverPath) {
    const qsizetype colon = serverPath.indexOf(QLatin1Char(':'));
    return colon < 0 ? QString() : serverPath.left(colon);
}

QString remoteFileName(const QString& serverPath, const QString& host, const QString& exeName) {
    return serverPath.mid(host.size() + 2, 100) + QLatin1Char('/') + exeName;
}

QStringList folderChain(const QString& folder) {
    QStringList chain;
    QString f = folder;
    // What follows the drive ("c:\"); a backslash at its start or none at all ends the walk.
    for (QString rest = f.mid(3, 100); rest.indexOf(QLatin1Char('\\')) >= 1; rest = f.mid(3, 100)) {
        chain.prepend(f);
        f.truncate(f.lastIndexOf(QLatin1Char('\\')));
    }
    chain.prepend(f);
    return chain;
}

bool isSafeExeName(const QString& exeName) {
    return !exeName.isEmpty() && exeName != QLatin1String(".") && exeName != QLatin1String("..") &&
           !exeName.contains(QLatin1Char('/')) && !exeName.contains(QLatin1Char('\\')) &&
           !exeName.contains(QChar(0));
}

bool isSafeClientFolder(const QString& folder) {
    if (folder.contains(QLatin1Char('/')) || folder.contains(QChar(0)))
        return false;
    const QStringList parts = folder.split(QLatin1Char('\\'));
    return !parts.contains(QLatin1String(".."));
}

QString folderKey(const QString& folder) {
    QStringList parts;
    for (const QString& part : folder.split(QLatin1Char('\\'), Qt::SkipEmptyParts))
        if (part != QLatin1String("."))
            parts << part;
    return parts.join(QLatin1Char('\\')).toCaseFolded();
}
