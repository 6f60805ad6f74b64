#include <QTest>
class TestIconExtract : public QObject {
    Q_OBJECT
};
QTEST_GUILESS_MAIN(TestIconExtract)
#include "tst_iconextract.moc"
