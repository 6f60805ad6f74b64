#pragma once

#include <QStringList>

// The fixed SQL texts of the main window's lists, one entry per line; they are sent joined
// with line breaks, exactly as they stand (blanks included).
namespace ProgramQueries {

// The company databases of the signed-in user: DB_NAME, SERVER_NAME.
QStringList databases();
// The program groups of the current company: PROG_GROUP, DB_NAME.
QStringList groups();
// The programs of the group :prog_group: PROG_NAME, PROG_EXE, ICON, CLIENTPATH, V_COMPANY.
QStringList programs();
// The quick-launch bar of company :db_name, in button order: PROG_NAME, PROG_EXE, ICON,
// CLIENTPATH, V_COMPANY.
QStringList barButtons();

} // namespace ProgramQueries
