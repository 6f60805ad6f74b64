#pragma once

#include "net/FtpConst.h"

#include <QString>

// How the FTP client reads reply lines and checks what goes into a command line.
namespace FtpReply {

inline bool InRange(int number, int first, int last) {
    return number >= first && number <= last;
}

// The line begins with three digits, as the first line of every reply must.
inline bool HasCode(const QString& line) {
    if (line.size() < 3)
        return false;
    for (int i = 0; i < 3; ++i)
        if (line[i] < QLatin1Char('0') || line[i] > QLatin1Char('9'))
            return false;
    return true;
}

// The number at the start of a reply line, 0 when it has none.
inline int ReplyCode(const QString& line) {
    int digits = 0;
    while (digits < line.size() && digits < 3 && line[digits].isDigit())
        ++digits;
    return digits == 0 ? 0 : line.left(digits).toInt();
}

// A line continues a multi-line reply when it starts with a blank or has "-" after its number.
inline bool Continues(const QString& line) {
    return line.startsWith(QLatin1Char(' ')) || (line.size() >= 4 && line[3] == QLatin1Char('-'));
}

// A text that goes into a command line must not end that line or start another.
inline bool BreaksLine(const QString& text) {
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) ||
           text.contains(QChar(0));
}

inline QString Printable(QString text) {
    for (QChar& c : text)
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0))
            c = QLatin1Char('?');
    return text;
}

inline QString FirstLine(const QString& text) {
    const qsizetype lf = text.indexOf(QLatin1Char('\n'));
    return lf < 0 ? text : text.left(lf + 1);
}

inline bool IsAbortReply(const QString& text) {
    const int code = ReplyCode(text);
    return code == FtpConst::ReplyServiceClosing || code == FtpConst::ReplyTransferAborted;
}

} // namespace FtpReply
