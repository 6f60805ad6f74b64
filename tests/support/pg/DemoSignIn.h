#pragma once

#include "DemoData.h"
#include "data/Connection.h"

namespace DemoData {

// Sets a connection up for a demo user on one of the test cluster's services; opening is
// left to the caller.
inline void setSignIn(Connection& db, const QString& user, const QString& password,
                      const QString& service = ServiceOrcl) {
    db.setParam(QStringLiteral("SERVER NAME"), service);
    db.setParam(QStringLiteral("USER NAME"), user);
    db.setParam(QStringLiteral("PASSWORD"), password);
}

} // namespace DemoData
