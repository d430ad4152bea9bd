#pragma once

#include <QtGlobal>

// How many bytes a read tick may move from the reply to the file under the speed limit.
//
// The budget grows with the time since the last tick that read, not by one chunk per tick:
// a tick that comes late (a busy machine, the checksum worker hashing, a tick that found
// the reply empty) takes what the delay owed, and what the reply could not give is carried
// too, because its buffer refills in bursts. The budget is capped at a few ticks' worth, so
// a long stall is not made up in one burst.
class ReadBudget
{
public:
    static const qint64 maxTicks = 5;

    // A new reply: its first tick may take one tick's worth.
    void restart(qint64 nowNs, qint64 tickLengthNs);
    // The bytes the tick at nowNs may take, with chunk bytes per tick of the limit.
    qint64 take(qint64 nowNs, qint64 chunk);
    // What the tick moved of what take() allowed; the rest is carried.
    void used(qint64 allowed, qint64 moved);

private:
    qint64 m_tickLengthNs = 20000000;
    qint64 m_lastNs = 0;
    qint64 m_unused = 0;
};
