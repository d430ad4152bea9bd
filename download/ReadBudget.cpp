#include "download/ReadBudget.h"

#include <algorithm>

void ReadBudget::restart(qint64 nowNs, qint64 tickLengthNs)
{
    m_tickLengthNs = std::max<qint64>(1, tickLengthNs);
    m_lastNs = nowNs - m_tickLengthNs;
    m_unused = 0;
}

qint64 ReadBudget::take(qint64 nowNs, qint64 chunk)
{
    // Bounded before the multiplication, so a long wait cannot overflow it.
    const qint64 since = std::min(std::max<qint64>(0, nowNs - m_lastNs), m_tickLengthNs * maxTicks);
    m_lastNs = nowNs;
    return std::min(chunk * maxTicks, m_unused + chunk * since / m_tickLengthNs);
}

void ReadBudget::used(qint64 allowed, qint64 moved)
{
    m_unused = std::max<qint64>(0, allowed - moved);
}
