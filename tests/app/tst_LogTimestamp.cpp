#include "LogTimestamp.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QtTest>

#include <cstring>

class TestLogTimestamp : public QObject
{
    Q_OBJECT

private slots:
    void padding_data();
    void padding();
    void truncatesToBuffer();
    void currentTime();
};

void TestLogTimestamp::padding_data()
{
    QTest::addColumn<QList<int>>("fields");
    QTest::addColumn<QString>("expected");
    QTest::newRow("first of March") << QList<int>{2026, 3, 1, 9, 3, 7, 5} << "2026-03-01 09:03:07.005 ";
    QTest::newRow("all zero-padded") << QList<int>{987, 1, 2, 0, 0, 0, 0} << "0987-01-02 00:00:00.000 ";
    QTest::newRow("widest") << QList<int>{2099, 12, 31, 23, 59, 59, 999} << "2099-12-31 23:59:59.999 ";
}

void TestLogTimestamp::padding()
{
    QFETCH(QList<int>, fields);
    QFETCH(QString, expected);
    char buffer[256];
    formatLogTimestamp(buffer, sizeof(buffer) - 1, fields[0], fields[1], fields[2], fields[3],
                       fields[4], fields[5], fields[6]);
    QCOMPARE(QString::fromLatin1(buffer), expected);
    QCOMPARE(std::strlen(buffer), size_t(24));
}

void TestLogTimestamp::truncatesToBuffer()
{
    char buffer[11];
    std::memset(buffer, 'x', sizeof(buffer));
    formatLogTimestamp(buffer, sizeof(buffer), 2026, 3, 1, 9, 3, 7, 5);
    QCOMPARE(QByteArray(buffer), QByteArray("2026-03-01"));
}

void TestLogTimestamp::currentTime()
{
    const QDate before = QDate::currentDate();
    const char *stamp = logTimestamp();
    const QDate after = QDate::currentDate();
    QCOMPARE(std::strlen(stamp), size_t(24));
    const QRegularExpression format(
        QStringLiteral("^(\\d{4}-\\d{2}-\\d{2}) \\d{2}:\\d{2}:\\d{2}\\.\\d{3} $"));
    const QRegularExpressionMatch m = format.match(QString::fromLatin1(stamp));
    QVERIFY2(m.hasMatch(), stamp);
    // Local time, not UTC: the date part is today's local date.
    const QDate date = QDate::fromString(m.captured(1), Qt::ISODate);
    QVERIFY(date == before || date == after);
    // One static buffer, overwritten by every call.
    QCOMPARE(logTimestamp(), stamp);
}

QTEST_APPLESS_MAIN(TestLogTimestamp)
#include "tst_LogTimestamp.moc"
