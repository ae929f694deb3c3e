#include <QtTest>

#include "zvr3fuzz.h"

// Every fuzz target once over its seeds and over the inputs that broke it before (one file each
// in tests/data/fuzz/<target>/). A broken property aborts inside the target.
class tst_zvr3fuzz : public QObject
{
    Q_OBJECT
private slots:
    void replay_data()
    {
        QTest::addColumn<QByteArray>("input");
        const QDir data(QStringLiteral(ZVR3_FUZZ_DATA));
        for (const zvr3fuzz::Entry &e : zvr3fuzz::targets()) {
            const QList<QByteArray> seeds = e.seeds();
            for (int i = 0; i < seeds.size(); ++i)
                QTest::addRow("%s seed %d", e.name, i) << seeds.at(i);
            const QDir dir(data.filePath(QString::fromLatin1(e.name)));
            for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
                QFile file(dir.filePath(name));
                QVERIFY(file.open(QIODevice::ReadOnly));
                QTest::addRow("%s %s", e.name, qPrintable(name)) << file.readAll();
            }
        }
        // Every regression directory belongs to a target.
        for (const QString &name : data.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            QVERIFY2(zvr3fuzz::find(name.toLatin1()), qPrintable(name));
    }

    void replay()
    {
        // The row's name starts with the target's.
        QFETCH(QByteArray, input);
        const zvr3fuzz::Entry *e = zvr3fuzz::find(QByteArray(QTest::currentDataTag()).split(' ').first());
        QVERIFY(e);
        e->run(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
    }
};

QTEST_GUILESS_MAIN(tst_zvr3fuzz)
#include "tst_zvr3fuzz.moc"
