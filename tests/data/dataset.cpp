#include "data/Dataset.h"
#include "data/DataSource.h"
#include "data/DatabaseError.h"
#include "data/Field.h"

#include <QTest>

namespace {

// A dataset with rows given in the test, so the cursor rules can be checked without a server.
class RowsDataset : public Dataset {
public:
    explicit RowsDataset(int rows) : Dataset(nullptr), m_count(rows) {}
    void open() override {
        QVector<QVector<QVariant>> rows;
        for (int i = 0; i < m_count; ++i)
            rows << QVector<QVariant>{QStringLiteral("row%1").arg(i), double(i)};
        setResult({QStringLiteral("prog_name"), QStringLiteral("v_company")}, rows);
    }

private:
    int m_count;
};

struct Flags {
    int row;
    bool bof;
    bool eof;
};

Flags flags(const Dataset& d) {
    return {d.recNo(), d.bof(), d.eof()};
}

bool operator==(const Flags& a, const Flags& b) {
    return a.row == b.row && a.bof == b.bof && a.eof == b.eof;
}

} // namespace

namespace QTest {
template <> char* toString(const Flags& f) {
    return qstrdup(
        QStringLiteral("row %1 bof %2 eof %3").arg(f.row).arg(f.bof).arg(f.eof).toLatin1());
}
} // namespace QTest

class DatasetTest : public QObject {
    Q_OBJECT
private slots:
    void flagsAlongTheRows() {
        RowsDataset d(3);
        d.open();
        QCOMPARE(flags(d), (Flags{0, true, false}));
        d.prior(); // at the first row with the start flag set: nothing
        QCOMPARE(flags(d), (Flags{0, true, false}));
        d.next();
        QCOMPARE(flags(d), (Flags{1, false, false}));
        d.next();
        QCOMPARE(flags(d), (Flags{2, false, false}));
        d.next(); // past the last row: the cursor stays, the end flag is set
        QCOMPARE(flags(d), (Flags{2, false, true}));
        d.next();
        QCOMPARE(flags(d), (Flags{2, false, true}));
        d.prior();
        QCOMPARE(flags(d), (Flags{1, false, false}));
        d.prior();
        QCOMPARE(flags(d), (Flags{0, false, false}));
        d.prior(); // before the first row: stays, start flag set
        QCOMPARE(flags(d), (Flags{0, true, false}));
        d.last();
        QCOMPARE(flags(d), (Flags{2, false, true}));
        d.first();
        QCOMPARE(flags(d), (Flags{0, true, false}));
    }

    void moveToClearsFlagsOnlyWhenItMoves() {
        RowsDataset d(3);
        d.open();
        d.moveTo(0); // the row already current: the start flag stays
        QCOMPARE(flags(d), (Flags{0, true, false}));
        d.moveTo(2);
        QCOMPARE(flags(d), (Flags{2, false, false}));
        d.next();
        QCOMPARE(flags(d), (Flags{2, false, true}));
        d.moveTo(5);
        QCOMPARE(flags(d), (Flags{2, false, true}));
        d.moveTo(0); // selected after standing elsewhere: both clear
        QCOMPARE(flags(d), (Flags{0, false, false}));
    }

    void emptyAndSingleRow() {
        RowsDataset empty(0);
        empty.open();
        QCOMPARE(flags(empty), (Flags{-1, true, true}));
        empty.next();
        empty.prior();
        QCOMPARE(flags(empty), (Flags{-1, true, true}));
        QVERIFY(empty.fieldByName(QStringLiteral("PROG_NAME")).isNull());
        QCOMPARE(empty.fieldByName(QStringLiteral("PROG_NAME")).asString(), QString());

        RowsDataset one(1);
        one.open();
        one.next();
        QCOMPARE(flags(one), (Flags{0, false, true}));
        one.prior();
        QCOMPARE(flags(one), (Flags{0, true, false}));
    }

    void fieldsByNameWithoutRegardToCase() {
        RowsDataset d(2);
        d.open();
        d.next();
        QCOMPARE(d.fieldByName(QStringLiteral("PROG_NAME")).asString(), QStringLiteral("row1"));
        QCOMPARE(d.fieldByName(QStringLiteral("V_Company")).asFloat(), 1.0);
        QCOMPARE(d.value(0, QStringLiteral("Prog_Name")).toString(), QStringLiteral("row0"));
        QVERIFY(!d.value(7, QStringLiteral("prog_name")).isValid());
        try {
            d.fieldByName(QStringLiteral("ICON"));
            QFAIL("unknown field accepted");
        } catch (const EDatabaseError& e) {
            QCOMPARE(e.message(), QStringLiteral("Field 'ICON' not found"));
        }
    }

    // A follower is told once per open, move and close, by a plain call: its error reaches
    // whoever moved the dataset instead of unwinding through Qt's signal code.
    void dataSourceFollowersOncePerOpenMoveAndClose() {
        RowsDataset d(3);
        DataSource source(&d);
        QObject follower;
        int changed = 0;
        source.setFollower(&follower, [&changed] { ++changed; });
        d.open();
        QCOMPARE(changed, 1);
        d.next();
        d.moveTo(1); // no move
        d.last();
        QCOMPARE(changed, 3);
        d.next(); // stays on the last row
        QCOMPARE(changed, 3);
        d.close();
        QCOMPARE(changed, 4);
        QVERIFY(!d.active());
        QCOMPARE(d.recordCount(), 0);

        d.open();
        source.setFollower(&follower, [] { throw EDatabaseError(QStringLiteral("detail")); });
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, d.next());
        QCOMPARE(d.recNo(), 1);
    }

    void fieldTextForms_data() {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("whole") << QVariant(10.0) << "10";
        QTest::newRow("fraction") << QVariant(2.5) << "2.5";
        QTest::newRow("negative") << QVariant(-3.0) << "-3";
        QTest::newRow("long fraction") << QVariant(1.0 / 3) << "0.333333333333333";
        QTest::newRow("large") << QVariant(1e20) << "1e+20";
        QTest::newRow("null") << QVariant() << "";
        QTest::newRow("text") << QVariant(QStringLiteral("ACME")) << "ACME";
        QTest::newRow("date") << QVariant(QDate(2026, 12, 7)) << "2026-12-07";
    }
    void fieldTextForms() {
        QFETCH(QVariant, value);
        QFETCH(QString, text);
        QCOMPARE(Field(QStringLiteral("f"), value).asString(), text);
    }

    void fieldFloatFromText() {
        QCOMPARE(Field(QStringLiteral("v"), QStringLiteral("1.250")).asFloat(), 1.25);
        try {
            Field(QStringLiteral("v"), QStringLiteral("")).asFloat();
            QFAIL("empty text read as a number");
        } catch (const Exception& e) {
            QCOMPARE(e.message(), QStringLiteral("'' is not a valid floating point value"));
        }
    }
};

QTEST_GUILESS_MAIN(DatasetTest)
#include "dataset.moc"
