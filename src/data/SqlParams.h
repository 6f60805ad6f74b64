#pragma once

#include <QString>
#include <QStringList>

// A statement with its named parameters (":name") turned into the server's positional ones
// ($1, $2 ...). Quoted texts, quoted names, comments and "::" casts are left alone; a name
// used twice gets the same number.
struct PositionalSql {
    QString text;
    QStringList names;   // lower case, index i is $(i+1)
    QStringList spelled; // the names as first written
};

PositionalSql toPositional(const QString& sql);
