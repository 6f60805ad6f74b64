#include "net/FtpConst.h"

#include <QRegularExpression>

#include <cctype>

namespace FtpConst {

qint64 ParseTransferSize(const QByteArray& line) {
    const qsizetype word = line.toUpper().indexOf(SizeWord);
    if (word < 0)
        return 0;
    qsizetype end = word;
    while (end > 0 && !std::isdigit(static_cast<unsigned char>(line[end - 1])))
        --end;
    if (end == 0)
        return 0;
    qsizetype start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(line[start - 1])))
        --start;
    bool ok = false;
    const qint64 size = line.mid(start, end - start).toLongLong(&ok);
    return ok ? size : 0;
}

qint64 AnnouncedSize(const QByteArray& line) {
    static const QRegularExpression stated(QStringLiteral("\\(([0-9]{1,18}) bytes\\)"),
                                           QRegularExpression::CaseInsensitiveOption);
    qint64 size = -1;
    for (const QRegularExpressionMatch& m : stated.globalMatch(QString::fromLatin1(line)))
        size = m.captured(1).toLongLong();
    return size;
}

TCmdType CommandType(const QString& command) {
    const QString word = command.section(QLatin1Char(' '), 0, 0) + QLatin1Char(' ');
    if (word == QLatin1String(CmdCwd))
        return cmdChangeDir;
    if (word == QLatin1String(CmdDele))
        return cmdDelete;
    if (word == QLatin1String(CmdMkd))
        return cmdMakeDir;
    if (word == QLatin1String(CmdRmd))
        return cmdRemoveDir;
    if (command == QLatin1String(CmdPwd))
        return cmdPrintDir;
    return cmdOther;
}

} // namespace FtpConst
