#include "launcher/ProgramQueries.h"

namespace ProgramQueries {

QStringList databases() {
    return {
        QStringLiteral("select distinct"),
        QStringLiteral("d.db_name"),
        QStringLiteral(",d.company_name  server_name "),
        QStringLiteral(" from quorvane.v_sysparams d,quorvane.user_prog_db p"),
        QStringLiteral("where"),
        QStringLiteral("(d.v_company=p.database_id)"),
        QStringLiteral("and"),
        QStringLiteral("(p.username=USER)"),
    };
}

QStringList groups() {
    return {
        QStringLiteral("select distinct"),
        QStringLiteral("p.prog_group"),
        QStringLiteral(",d.db_name"),
        QStringLiteral(
            "from quorvane.quorvane_prog p,quorvane.user_prog_db u,quorvane.sysparams d"),
        QStringLiteral("where"),
        QStringLiteral("(u.username=USER)"),
        QStringLiteral("and"),
        QStringLiteral("(p.prog_id=u.quorvane_prog_id)"),
        QStringLiteral("and"),
        QStringLiteral("(u.database_id=d.v_company)"),
        QStringLiteral("and"),
        QStringLiteral("(p.prog_exe like '%exe')"),
    };
}

QStringList programs() {
    return {
        QStringLiteral("select"),
        QStringLiteral("p.prog_name"),
        QStringLiteral(",prog_exe"),
        QStringLiteral(",p.icon"),
        QStringLiteral(",p.clientpath"),
        QStringLiteral(",d.v_company"),
        QStringLiteral(
            "from quorvane.sysparams d,quorvane.quorvane_prog p,quorvane.user_prog_db db"),
        QStringLiteral("where"),
        QStringLiteral("(d.v_company=db.database_id)"),
        QStringLiteral("and"),
        QStringLiteral("(db.quorvane_prog_id=p.prog_id)"),
        QStringLiteral("and"),
        QStringLiteral("(db.username=USER)"),
        QStringLiteral("and"),
        QStringLiteral("(p.prog_group=:prog_group)"),
        QStringLiteral("and"),
        QStringLiteral("(p.prog_exe like '%exe')"),
    };
}

QStringList barButtons() {
    return {
        QStringLiteral("select"),
        QStringLiteral("p.prog_name"),
        QStringLiteral(",prog_exe"),
        QStringLiteral(",p.icon"),
        QStringLiteral(",p.clientpath"),
        QStringLiteral(",d.v_company"),
        QStringLiteral(
            "from quorvane.v_sysparams d,quorvane.quorvane_prog p,quorvane.user_prog_db db"),
        QStringLiteral("where"),
        QStringLiteral("(d.v_company=db.database_id)"),
        QStringLiteral("and"),
        QStringLiteral("(db.quorvane_prog_id=p.prog_id)"),
        QStringLiteral("and"),
        QStringLiteral("(db.username=USER)"),
        QStringLiteral("and"),
        QStringLiteral("(d.db_name=:db_name)"),
        QStringLiteral("and"),
        QStringLiteral("(p.prog_exe like '%exe')"),
        QStringLiteral("and"),
        QStringLiteral("(db.ordinal >0)"),
        QStringLiteral("order by d.v_company ,ordinal"),
    };
}

} // namespace ProgramQueries
