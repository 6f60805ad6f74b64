#pragma once

#include <QString>
#include <functional>

// The form in which the server stores a role's password (a SCRAM verifier), made on the
// workstation; raises EDatabaseError when it cannot be made.
using PasswordVerifier = std::function<QString(const QString& role, const QString& password)>;

// Rewrites only what PostgreSQL reads differently from the original server, rule by rule:
// - a LIKE literal that holds a backslash gets " escape ''";
// - "alter user U identified by P" becomes ALTER USER "R" PASSWORD '<verifier of P for R>',
//   where R is the role a sign-in as U reaches and P is everything after the one blank behind
//   "by". The password itself never goes into the text: a statement that names a password but
//   cannot be read so raises EDatabaseError instead of being sent.
QString toPostgresSql(const QString& sql, const PasswordVerifier& verifier);
