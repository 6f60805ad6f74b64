#pragma once

// The rows of db/demo-data.sql, named for the tests. Keep in step with that file; the data
// tests (tests/data/sqltexts.cpp) check these lists against what the fixed SQL texts return.
//
// Lists of companies and groups are in the order the server returns them for the launcher's
// queries; program lists are in the order the program query returns them.

#include <algorithm>

#include <QList>
#include <QString>
#include <QStringList>

namespace DemoData {

// Connection services of the test cluster (both lead to the same database).
inline const QString ServiceOrcl = QStringLiteral("ORCL");
inline const QString ServiceTest = QStringLiteral("TEST");
inline const QString DatabaseName = QStringLiteral("quorvane");

// Demo users: role names are lower case; a login typed as "MARI" reaches role mari.
inline const QString MariUser = QStringLiteral("mari"); // three companies
inline const QString MariPassword = QStringLiteral("Kask2026");
inline const QString JaanUser = QStringLiteral("jaan"); // one company
inline const QString JaanPassword = QStringLiteral("Tamm2026");

struct Company {
    double vCompany;
    QString dbName;
    QString companyName;
};
// Every company (v_sysparams); DELTA has no users.
inline const QList<Company> Companies = {
    {10, QStringLiteral("ACME"), QStringLiteral("Acme Trading AS")},
    {20, QStringLiteral("BALTIC"), QStringLiteral("Baltic Logistics OU")},
    {30, QStringLiteral("CEDAR"), QStringLiteral("Cedar Holdings")},
    {40, QStringLiteral("DELTA"), QStringLiteral("Delta Without Users")},
};
// The company tabs (QueryDatabases) per user, in server order.
inline const QStringList MariCompanies = {QStringLiteral("ACME"), QStringLiteral("BALTIC"),
                                          QStringLiteral("CEDAR")};
inline const QStringList JaanCompanies = {QStringLiteral("BALTIC")};

enum class Icon { None, Bitmap16, Bitmap16WithHeader, Bitmap32, Bitmap32WithHeader };

struct Program {
    int progId;
    QString name;
    QString exe;
    QString group;
    QString clientPath;
    QString serverPath; // host, colon, one separator character, folder
    QString version;    // as the upgrade query gives it: "1.250"
    int progType;       // 1: kept current by the upgrade utility
    Icon icon;
};
// No program carries a digest (sha256 is empty), so any served bytes are installed; a test
// that checks digests publishes them itself.
inline const QList<Program> Programs = {
    {1, "Ledger", "ledger.exe", "Finance", "c:\\qv\\finance", "127.0.0.1:/finance", "1.250", 1,
     Icon::Bitmap16WithHeader},
    {2, "Invoices", "invoice.exe", "Finance", "c:\\qv\\finance", "127.0.0.1:/finance", "2.000", 1,
     Icon::Bitmap32},
    {3, "Payroll", "payroll.exe", "Finance", "c:\\apps\\payroll", "127.0.0.1:/payroll", "1.000", 0,
     Icon::Bitmap16},
    {4, "Finance manual", "manual.doc", "Finance", "c:\\qv\\finance", "127.0.0.1:/finance", "1.000",
     0, Icon::Bitmap16WithHeader},
    {5, "Stock", "Stock.exe", "Logistics", "c:\\qv\\stock", "127.0.0.1:/stock", "3.100", 1,
     Icon::Bitmap32WithHeader},
    {6, "Shipping", "ship.exe", "Logistics", "d:\\logistics", "127.0.0.1:/ship", "1.000", 1,
     Icon::Bitmap16WithHeader},
    {7, "Routes", "routes.exe", "Logistics", "c:\\qv\\routes", "", "0.500", 0, Icon::Bitmap16},
    {8, "Routes help", "routes.hlp", "Logistics", "c:\\qv\\routes", "", "0.000", 0, Icon::None},
    {9, "Notepad", "notepad.exe", "Tools", "c:\\windows", QString(), "0.000", 0, Icon::None},
    {10, "Calculator", "calc.exe", "Tools", "c:\\qv\\tools", "localhost:/tools", "10.500", 1,
     Icon::Bitmap32},
    {11, "Tools readme", "readme.txt", "Tools", "c:\\qv\\tools", "localhost:/tools", "1.000", 0,
     Icon::None},
};

inline const Program& program(int progId) {
    for (const Program& p : Programs)
        if (p.progId == progId)
            return p;
    return Programs.front();
}

// One user_prog_db row.
struct Right {
    QString user;
    double vCompany;
    int progId;
    int ordinal; // above 0: on that company's quick-launch bar
};
inline const QList<Right> Rights = {
    {"mari", 10, 1, 1}, {"mari", 10, 2, 2},  {"mari", 10, 3, 0},  {"mari", 10, 4, 0},
    {"mari", 10, 9, 0}, {"mari", 10, 10, 0}, {"mari", 10, 11, 0}, {"mari", 20, 1, 0},
    {"mari", 20, 5, 3}, {"mari", 20, 6, 0},  {"mari", 20, 7, 0},  {"mari", 20, 8, 0},
    {"mari", 30, 9, 0}, {"mari", 30, 10, 0}, {"jaan", 20, 5, 1},  {"jaan", 20, 7, 2},
    {"jaan", 20, 1, 0}, {"jaan", 20, 6, 0},  {"jaan", 20, 8, 0},
};

// Groups of the group list (QueryGroups) after SET_CNAME, in server order.
inline QStringList groups(const QString& user, const QString& dbName) {
    if (user == MariUser && dbName == "ACME")
        return {"Finance", "Tools"};
    if (user == MariUser && dbName == "BALTIC")
        return {"Finance", "Logistics"};
    if (user == MariUser && dbName == "CEDAR")
        return {"Tools"};
    if (user == JaanUser && dbName == "BALTIC")
        return {"Finance", "Logistics"};
    return {};
}

// Program ids of the program list (QueryProg) for one group, in the order the query gives: the
// order of the user's grants in the primary key (company, program), which the query reads.
// Only exe names that end in "exe" are listed (manual.doc, routes.hlp, readme.txt never are).
inline QList<int> programIds(const QString& user, const QString& dbName, const QString& group) {
    QList<int> ids;
    for (const Right& r : Rights) {
        const Program& p = program(r.progId);
        QString db;
        for (const Company& c : Companies)
            if (c.vCompany == r.vCompany)
                db = c.dbName;
        if (r.user == user && db == dbName && p.group == group && p.exe.endsWith("exe"))
            ids << p.progId;
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// The quick-launch bar of a company (QueryLoad): program ids by ascending ordinal.
inline const QList<int> MariBarAcme = {1, 2};   // Ledger 1, Invoices 2
inline const QList<int> MariBarBaltic = {5};    // Stock 3
inline const QList<int> MariBarCedar = {};      // empty
inline const QList<int> JaanBarBaltic = {5, 7}; // Stock 1, Routes 2

// Mari has Ledger in ACME and BALTIC, and Calculator in ACME and CEDAR.
// Upgrade list (type 1 under c:\) per user, one entry per program, in server-path order:
// host 127.0.0.1 for the first ones, host localhost for Calculator.
inline const QStringList MariUpgradeExes = {"ledger.exe", "invoice.exe", "Stock.exe", "calc.exe"};
inline const QStringList JaanUpgradeExes = {"ledger.exe", "Stock.exe"};

} // namespace DemoData
