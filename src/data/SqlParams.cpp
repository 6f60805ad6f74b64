#include "data/SqlParams.h"

namespace {

bool isNameStart(QChar c) {
    return c.isLetter() || c == QLatin1Char('_');
}
bool isNameChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

// The end (one past) of a quoted text starting at `start`, honouring doubled quotes and, for
// E'...' texts, backslash escapes.
qsizetype skipQuoted(const QString& sql, qsizetype start, QChar quote, bool backslashEscapes) {
    qsizetype i = start + 1;
    while (i < sql.size()) {
        const QChar c = sql.at(i);
        if (backslashEscapes && c == QLatin1Char('\\')) {
            i += 2;
            continue;
        }
        if (c == quote) {
            if (i + 1 < sql.size() && sql.at(i + 1) == quote) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return sql.size();
}

// A dollar-quoted text "$tag$ ... $tag$" at `start`, or -1 when none starts there.
qsizetype skipDollarQuoted(const QString& sql, qsizetype start) {
    qsizetype i = start + 1;
    while (i < sql.size() && isNameChar(sql.at(i)) && !(i == start + 1 && sql.at(i).isDigit()))
        ++i;
    if (i >= sql.size() || sql.at(i) != QLatin1Char('$'))
        return -1;
    const QString tag = sql.mid(start, i - start + 1);
    const qsizetype end = sql.indexOf(tag, i + 1);
    return end < 0 ? sql.size() : end + tag.size();
}

} // namespace

PositionalSql toPositional(const QString& sql) {
    PositionalSql out;
    qsizetype i = 0;
    const qsizetype n = sql.size();
    while (i < n) {
        const QChar c = sql.at(i);
        qsizetype next = -1;
        if (c == QLatin1Char('\'')) {
            const bool escapes =
                i > 0 && (sql.at(i - 1) == QLatin1Char('E') || sql.at(i - 1) == QLatin1Char('e')) &&
                (i < 2 || !isNameChar(sql.at(i - 2)));
            next = skipQuoted(sql, i, c, escapes);
        } else if (c == QLatin1Char('"')) {
            next = skipQuoted(sql, i, c, false);
        } else if (c == QLatin1Char('-') && i + 1 < n && sql.at(i + 1) == QLatin1Char('-')) {
            const qsizetype eol = sql.indexOf(QLatin1Char('\n'), i);
            next = eol < 0 ? n : eol;
        } else if (c == QLatin1Char('/') && i + 1 < n && sql.at(i + 1) == QLatin1Char('*')) {
            const qsizetype end = sql.indexOf(QStringLiteral("*/"), i + 2);
            next = end < 0 ? n : end + 2;
        } else if (c == QLatin1Char('$') && (i == 0 || !isNameChar(sql.at(i - 1)))) {
            next = skipDollarQuoted(sql, i);
        } else if (c == QLatin1Char(':') && i + 1 < n && sql.at(i + 1) == QLatin1Char(':')) {
            next = i + 2; // a cast
        } else if (c == QLatin1Char(':') && i + 1 < n && isNameStart(sql.at(i + 1))) {
            qsizetype end = i + 1;
            while (end < n && isNameChar(sql.at(end)))
                ++end;
            const QString spelled = sql.mid(i + 1, end - i - 1);
            const QString name = spelled.toLower();
            qsizetype index = out.names.indexOf(name);
            if (index < 0) {
                out.names << name;
                out.spelled << spelled;
                index = out.names.size() - 1;
            }
            out.text += QLatin1Char('$') + QString::number(index + 1);
            i = end;
            continue;
        }
        if (next > i) {
            out.text += sql.mid(i, next - i);
            i = next;
        } else {
            out.text += c;
            ++i;
        }
    }
    return out;
}
