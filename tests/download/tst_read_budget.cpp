#include "download/ReadBudget.h"
#include "support/TestMain.h"

#include <QtTest>

namespace {
const qint64 tick = 20000000; // 20 ms in nanoseconds
const qint64 chunk = 500000;  // 200 Mbit/s per 20 ms tick
}

// What a read tick may take under the speed limit: one tick's worth on time, what the delay
// owed when late, what the reply could not give carried, never more than five ticks' worth.
class TestReadBudget : public QObject
{
    Q_OBJECT

private slots:
    void ticks_data()
    {
        QTest::addColumn<QList<qint64>>("delays");   // nanoseconds since the tick before
        QTest::addColumn<QList<qint64>>("moved");    // what each tick moved
        QTest::addColumn<QList<qint64>>("expected"); // what each tick was allowed

        QTest::newRow("on time") << QList<qint64>{tick, tick, tick} << QList<qint64>{chunk, chunk, chunk}
                                 << QList<qint64>{chunk, chunk, chunk};
        QTest::newRow("a tick 40 ms late takes three ticks' worth")
            << QList<qint64>{tick, 3 * tick, tick} << QList<qint64>{chunk, 3 * chunk, chunk}
            << QList<qint64>{chunk, 3 * chunk, chunk};
        QTest::newRow("what the reply could not give is carried")
            << QList<qint64>{tick, tick, tick} << QList<qint64>{chunk, 100000, chunk}
            << QList<qint64>{chunk, chunk, chunk + 400000};
        QTest::newRow("a long stall owes at most five ticks")
            << QList<qint64>{tick, 3600 * qint64(1000000000), tick} << QList<qint64>{chunk, 5 * chunk, chunk}
            << QList<qint64>{chunk, 5 * chunk, chunk};
        QTest::newRow("carry and delay together stay within five ticks")
            << QList<qint64>{tick, tick, 4 * tick} << QList<qint64>{0, 0, 0}
            << QList<qint64>{chunk, 2 * chunk, 5 * chunk};
        QTest::newRow("half a tick owes half a chunk")
            << QList<qint64>{tick, tick / 2} << QList<qint64>{chunk, chunk / 2} << QList<qint64>{chunk, chunk / 2};
    }

    void ticks()
    {
        QFETCH(QList<qint64>, delays);
        QFETCH(QList<qint64>, moved);
        QFETCH(QList<qint64>, expected);
        ReadBudget budget;
        qint64 now = 1000 * tick;
        budget.restart(now, tick);
        // The first tick of a reply comes at restart and may take one tick's worth.
        for (int i = 0; i < delays.size(); ++i) {
            if (i > 0)
                now += delays[i];
            const qint64 allowed = budget.take(now, chunk);
            QCOMPARE(allowed, expected[i]);
            budget.used(allowed, moved[i]);
        }
    }

    // A new reply starts from one tick's worth, whatever the one before left.
    void restartForgetsTheCarry()
    {
        ReadBudget budget;
        budget.restart(0, tick);
        budget.used(budget.take(0, chunk), 0);
        QCOMPARE(budget.take(tick, chunk), 2 * chunk);
        budget.restart(10 * tick, tick);
        QCOMPARE(budget.take(10 * tick, chunk), chunk);
    }
};

TOLVANE_TEST_MAIN(TestReadBudget)
#include "tst_read_budget.moc"
