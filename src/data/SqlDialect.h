#pragma once

#include <QString>

// Rewrites only what PostgreSQL reads differently from the original server, rule by rule:
// - a LIKE literal that holds a backslash gets " escape ''";
// - "alter user U identified by P" becomes ALTER USER U PASSWORD '<P quoted>' when U and P are
//   plain tokens (letter first, then letters, digits, _, $, #); any other text stays as it is.
QString toPostgresSql(const QString& sql);
