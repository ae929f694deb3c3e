#include <QtTest>

#include "zvr3testutil.h"

// Runs "zvr3 tz" as a user would and checks what it prints and how it exits.
class tst_zvr3tool_tz : public QObject
{
    Q_OBJECT
private slots:
    void converts_data();
    void converts();
    void badUsage_data();
    void badUsage();

private:
    using Run = zvr3test::ToolRun;
    static Run run(const QStringList &arguments, const QByteArray &input = QByteArray())
    {
        return zvr3test::runTool(QStringLiteral(ZVR3_TOOL), QStringList{QStringLiteral("tz")} + arguments, input);
    }
};


void tst_zvr3tool_tz::converts_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("out");
    const QString byDefault = QStringLiteral("--rule=UTC-3UTC-4,M3.5.0/2,M10.5.0/2");
    // Around the 2010 transitions: the last second before and the first one after each.
    QTest::newRow("to local") << QStringList{byDefault, "--to-local", "1269730799", "1269730800", "1288479599",
                                             "1288479600", "4294967295"}
                              << QByteArray("1269741599\n1269745200\n1288493999\n1288490400\n10799\n");
    QTest::newRow("to gmt") << QStringList{"--to-gmt", byDefault, "1269745200", "1288490400"}
                            << QByteArray("1269734400\n1288476000\n");
    QTest::newRow("offset") << QStringList{byDefault, "--offset", "1263556800", "1277942400"}
                            << QByteArray("10800\n14400\n");
    QTest::newRow("offset west wraps") << QStringList{"--rule=UTC+1", "--offset", "1263556800"}
                                       << QByteArray("4294963696\n");
    QTest::newRow("UTC marker") << QStringList{"--rule=UTC+0UTC+0", "--offset", "1277942400"} << QByteArray("0\n");
    QTest::newRow("UTC marker converts") << QStringList{"--rule=UTC+0UTC+0", "--to-local", "1277942400"}
                                         << QByteArray("1277938800\n");
    // A rule starting with a minus sign: "-03" is dropped as the zone name, then five hours east.
    QTest::newRow("rule starting with minus") << QStringList{"--rule=-03-5", "--to-local", "0"} << QByteArray("18000\n");
    QTest::newRow("rule starting with minus, separate")
        << QStringList{"--to-local", "--rule", "-03-5", "0"} << QByteArray("18000\n");
    QTest::newRow("empty rule") << QStringList{"--rule=", "--to-local", "1000"} << QByteArray("1000\n");
    QTest::newRow("empty rule, separate") << QStringList{"--rule", "", "--offset", "1000"} << QByteArray("0\n");
    QTest::newRow("times after --") << QStringList{"--rule=UTC+3", "--to-gmt", "--", "7"} << QByteArray("10807\n");
    QTest::newRow("mktime") << QStringList{"--mktime", "2010-03-27 23:00:00"} << QByteArray("1269730800\n");
    QTest::newRow("mktime 2100-02-29") << QStringList{"--mktime=2100-02-29 00:00:00"} << QByteArray("4107542400\n");
    QTest::newRow("mktime 2100-03-01") << QStringList{byDefault, "--mktime=2100-03-01 00:00:00"}
                                       << QByteArray("4107628800\n");
    QTest::newRow("mktime first second") << QStringList{"--mktime=1970-01-01 00:00:00"} << QByteArray("0\n");
    QTest::newRow("mktime last second") << QStringList{"--mktime=2106-02-06 06:28:15"} << QByteArray("4294967295\n");
}

void tst_zvr3tool_tz::converts()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, out);
    const Run r = run(arguments);
    QVERIFY2(r.err.isEmpty(), r.err.constData());
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, out);
}

void tst_zvr3tool_tz::badUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("no mode") << QStringList{"--rule=UTC+3", "5"} << QByteArray("give one of --to-local");
    QTest::newRow("two modes") << QStringList{"--rule=UTC+3", "--to-local", "--offset", "5"}
                               << QByteArray("give only one of");
    QTest::newRow("no rule") << QStringList{"--to-local", "5"} << QByteArray("--rule=RULE");
    QTest::newRow("rule without value") << QStringList{"--to-local", "5", "--rule"} << QByteArray("--rule");
    QTest::newRow("no times") << QStringList{"--rule=UTC+3", "--to-local"} << QByteArray("at least one time");
    QTest::newRow("negative time") << QStringList{"--rule=UTC+3", "--to-local", "--", "-5"} << QByteArray("not '-5'");
    QTest::newRow("time over 32 bits") << QStringList{"--rule=UTC+3", "--offset", "1", "4294967296"}
                                       << QByteArray("not '4294967296'");
    QTest::newRow("signed time") << QStringList{"--rule=UTC+3", "--to-gmt", "+5"} << QByteArray("not '+5'");
    QTest::newRow("empty time") << QStringList{"--rule=UTC+3", "--to-gmt", ""} << QByteArray("not ''");
    QTest::newRow("mktime shape") << QStringList{"--mktime", "2010-3-1 00:00:00"} << QByteArray("--mktime takes");
    QTest::newRow("mktime 2101-02-29") << QStringList{"--mktime", "2101-02-29 00:00:00"}
                                       << QByteArray("not '2101-02-29 00:00:00'");
    QTest::newRow("mktime before 1970") << QStringList{"--mktime", "1969-12-31 23:59:59"}
                                        << QByteArray("--mktime takes");
    QTest::newRow("mktime past 32 bits") << QStringList{"--mktime", "2106-02-06 06:28:16"}
                                         << QByteArray("--mktime takes");
    QTest::newRow("mktime and times") << QStringList{"--mktime", "2010-01-01 00:00:00", "5"}
                                      << QByteArray("no further arguments");
    QTest::newRow("unknown option") << QStringList{"--rule=UTC+3", "--to-utc", "5"} << QByteArray("Unknown option");
}

void tst_zvr3tool_tz::badUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    const Run r = run(arguments);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.startsWith("zvr3 tz: ") && r.err.contains(message), r.err.constData());
    QVERIFY(r.out.isEmpty());
}

QTEST_GUILESS_MAIN(tst_zvr3tool_tz)
#include "tst_zvr3tool_tz.moc"
