#include <QtTest>

#include "zvr3decoder_priv.h"
#include "zvr3fuzz.h"

// Every fuzz target once over its seeds and over the inputs kept for it (tests/data/fuzz/<target>/:
// the inputs that broke it before and a minimised corpus). A broken property aborts inside the
// target.
class tst_zvr3fuzz : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // The targets decode on this thread, as under libFuzzer.
        zvr3decoder_priv::setStartWorkers(false);
    }

    void replay_data()
    {
        QTest::addColumn<QByteArray>("input");
        const QDir data(QStringLiteral(ZVR3_FUZZ_DATA));
        for (const zvr3fuzz::Entry &e : zvr3fuzz::targets()) {
            const QList<QByteArray> seeds = e.seeds();
            for (int i = 0; i < seeds.size(); ++i)
                QTest::addRow("%s seed %d", e.name, i) << seeds.at(i);
            QDirIterator it(data.filePath(QString::fromLatin1(e.name)), QDir::Files, QDirIterator::Subdirectories);
            QStringList files;
            while (it.hasNext())
                files.append(it.next());
            files.sort();
            for (const QString &path : std::as_const(files)) {
                QFile file(path);
                QVERIFY(file.open(QIODevice::ReadOnly));
                QTest::addRow("%s %s", e.name, qPrintable(data.relativeFilePath(path).section(QLatin1Char('/'), 1)))
                    << file.readAll();
            }
        }
        // Every directory of kept inputs belongs to a target.
        for (const QString &name : data.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            QVERIFY2(zvr3fuzz::find(name.toLatin1()), qPrintable(name));
    }

    void replay()
    {
        // The row's name starts with the target's.
        QFETCH(QByteArray, input);
        const zvr3fuzz::Entry *e = zvr3fuzz::find(QByteArray(QTest::currentDataTag()).split(' ').first());
        QVERIFY(e);
        zvr3fuzz::run(*e, reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
    }
};

QTEST_GUILESS_MAIN(tst_zvr3fuzz)
#include "tst_zvr3fuzz.moc"
