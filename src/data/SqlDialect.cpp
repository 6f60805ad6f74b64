#include "data/SqlDialect.h"

#include "data/Connection.h"
#include "data/DatabaseError.h"

#include <QRegularExpression>

namespace {

bool isWordChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('$');
}

qsizetype skipSpace(const QString& sql, qsizetype i) {
    while (i < sql.size() && sql.at(i).isSpace())
        ++i;
    return i;
}

// One past the closing quote of the literal that opens at `start` ('' stays inside).
qsizetype literalEnd(const QString& sql, qsizetype start) {
    qsizetype i = start + 1;
    while (i < sql.size()) {
        if (sql.at(i) == QLatin1Char('\'')) {
            if (i + 1 < sql.size() && sql.at(i + 1) == QLatin1Char('\'')) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return sql.size();
}

bool wordAt(const QString& sql, qsizetype i, QLatin1StringView word) {
    if (i > 0 && isWordChar(sql.at(i - 1)))
        return false;
    if (sql.mid(i, word.size()).compare(word, Qt::CaseInsensitive) != 0)
        return false;
    const qsizetype end = i + word.size();
    return end >= sql.size() || !isWordChar(sql.at(end));
}

// PostgreSQL reads "\" in a LIKE pattern as its escape character; the original server had
// none, so such a pattern says so.
QString likeWithoutEscape(const QString& sql) {
    QString out;
    qsizetype i = 0;
    while (i < sql.size()) {
        const QChar c = sql.at(i);
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            const qsizetype end =
                c == QLatin1Char('\'') ? literalEnd(sql, i) : sql.indexOf(c, i + 1) + 1;
            const qsizetype stop = end <= i ? sql.size() : end;
            out += sql.mid(i, stop - i);
            i = stop;
            continue;
        }
        if (c == QLatin1Char('-') && i + 1 < sql.size() && sql.at(i + 1) == QLatin1Char('-')) {
            const qsizetype eol = sql.indexOf(QLatin1Char('\n'), i);
            const qsizetype stop = eol < 0 ? sql.size() : eol;
            out += sql.mid(i, stop - i);
            i = stop;
            continue;
        }
        if (wordAt(sql, i, QLatin1StringView("like"))) {
            const qsizetype start = skipSpace(sql, i + 4);
            if (start < sql.size() && sql.at(start) == QLatin1Char('\'')) {
                const qsizetype end = literalEnd(sql, start);
                out += sql.mid(i, end - i);
                const QString literal = sql.mid(start, end - start);
                const qsizetype after = skipSpace(sql, end);
                if (literal.contains(QLatin1Char('\\')) &&
                    !wordAt(sql, after, QLatin1StringView("escape")))
                    out += QStringLiteral(" escape ''");
                i = end;
                continue;
            }
        }
        out += c;
        ++i;
    }
    return out;
}

} // namespace

QString toPostgresSql(const QString& sql, const PasswordVerifier& verifier) {
    // Oracle's way of setting a password. The server gets a verifier in its place, so any text
    // is a password here: it reaches neither the statement nor the server's log.
    static const QRegularExpression alterUser(
        QStringLiteral("^\\s*alter\\s+user\\s+(\\S+)\\s+identified\\s+by\\s(.+)$"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression namesPassword(
        QStringLiteral("^\\s*alter\\s+user\\b.*\\bidentified\\b"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = alterUser.match(sql);
    if (m.hasMatch()) {
        const QString role = Connection::serverLogin(m.captured(1));
        QString name = role;
        name.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        QString secret = verifier(role, m.captured(2));
        secret.replace(QLatin1Char('\''), QStringLiteral("''"));
        return QStringLiteral("ALTER USER \"%1\" PASSWORD '%2'").arg(name, secret);
    }
    if (namesPassword.match(sql).hasMatch())
        throw EDatabaseError(
            QStringLiteral("A password is set by: alter user NAME identified by PASSWORD"));
    return likeWithoutEscape(sql);
}
