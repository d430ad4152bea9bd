#include "download/SpeedSchedule.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>
#include <limits>

namespace {

const qint64 dayMs = qint64(24) * 3600 * 1000;
const qint64 weekMs = 7 * dayMs;
const char *const dayNames[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};

struct Span {
    qint64 start; // milliseconds since Monday 00:00
    qint64 length;
};

qint64 lengthMs(const SpeedSchedule::Row &row)
{
    const int minutes = row.to > row.from ? row.to - row.from : row.to + 24 * 60 - row.from;
    return qint64(minutes) * 60000;
}

// One span per listed day; a span may run past the end of the week (Sunday into Monday).
QList<Span> spans(const SpeedSchedule::Row &row)
{
    QList<Span> out;
    for (int day = 0; day < 7; ++day) {
        if (row.days & (1 << day))
            out.append({day * dayMs + qint64(row.from) * 60000, lengthMs(row)});
    }
    return out;
}

// The same spans cut at the end of the week, so that none wraps.
QList<Span> unwrapped(const SpeedSchedule::Row &row)
{
    QList<Span> out;
    for (const Span &span : spans(row)) {
        if (span.start + span.length <= weekMs) {
            out.append(span);
        } else {
            out.append({span.start, weekMs - span.start});
            out.append({0, span.start + span.length - weekMs});
        }
    }
    return out;
}

qint64 weekTime(const QDateTime &local)
{
    return (local.date().dayOfWeek() - 1) * dayMs + local.time().msecsSinceStartOfDay();
}

qint64 positiveModulo(qint64 value, qint64 modulus)
{
    const qint64 r = value % modulus;
    return r < 0 ? r + modulus : r;
}

QString clockText(qint64 weekMsValue)
{
    return SpeedSchedule::timeText(int(positiveModulo(weekMsValue, dayMs) / 60000));
}

}

QString SpeedSchedule::timeText(int minutes)
{
    return QString("%1:%2").arg(minutes / 60, 2, 10, QChar('0')).arg(minutes % 60, 2, 10, QChar('0'));
}

QList<int> SpeedSchedule::dayNumbers(quint8 days)
{
    QList<int> numbers;
    for (int day = 0; day < 7; ++day) {
        if (days & (1 << day))
            numbers.append(day + 1);
    }
    return numbers;
}

int SpeedSchedule::parseTime(const QString &text)
{
    static const QRegularExpression pattern("^([0-9]{1,2}):([0-9]{2})$");
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return -1;
    const int hours = match.captured(1).toInt();
    const int minutes = match.captured(2).toInt();
    if (hours > 23 || minutes > 59)
        return -1;
    return hours * 60 + minutes;
}

QString SpeedSchedule::validate(const QList<Row> &rows)
{
    for (int i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        if ((row.days & 0x7f) == 0 || (row.days & ~0x7f) != 0)
            return QString("Row %1 has no day of the week").arg(i + 1);
        if (row.from < 0 || row.from >= 24 * 60 || row.to < 0 || row.to >= 24 * 60)
            return QString("Row %1 has a time that is not between 00:00 and 23:59").arg(i + 1);
        if (row.mbps != 0 && (row.mbps < minimumMbps || row.mbps > maximumMbps))
            return QString("Row %1 has a limit outside %2 to %3 Mbit/s").arg(i + 1).arg(minimumMbps).arg(maximumMbps);
    }
    // The earliest moment of the week where two rows meet is the one named.
    for (int i = 0; i < rows.size(); ++i) {
        for (int j = i + 1; j < rows.size(); ++j) {
            qint64 first = std::numeric_limits<qint64>::max();
            qint64 firstEnd = 0;
            for (const Span &a : unwrapped(rows[i])) {
                for (const Span &b : unwrapped(rows[j])) {
                    const qint64 start = std::max(a.start, b.start);
                    const qint64 end = std::min(a.start + a.length, b.start + b.length);
                    if (start < end && start < first) {
                        first = start;
                        firstEnd = end;
                    }
                }
            }
            if (first != std::numeric_limits<qint64>::max()) {
                return QString("Rows %1 and %2 overlap on %3 %4%5%6")
                    .arg(i + 1)
                    .arg(j + 1)
                    .arg(dayNames[first / dayMs])
                    .arg(clockText(first))
                    .arg(QChar(0x2013))
                    .arg(clockText(firstEnd));
            }
        }
    }
    return QString();
}

QByteArray SpeedSchedule::toJson() const
{
    QJsonArray rows;
    for (const Row &row : m_rows) {
        QJsonArray days;
        for (int day : dayNumbers(row.days))
            days.append(day);
        QJsonObject object;
        object["days"] = days;
        object["from"] = timeText(row.from);
        object["to"] = timeText(row.to);
        object["mbps"] = row.mbps == 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(row.mbps);
        rows.append(object);
    }
    QJsonObject root;
    root["version"] = 1;
    root["rows"] = rows;
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

bool SpeedSchedule::fromJson(const QByteArray &json, SpeedSchedule *schedule, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = "not JSON (" + parseError.errorString() + ")";
        return false;
    }
    const QJsonObject root = document.object();
    if (!document.isObject() || root.value("version").toInt() != 1 || !root.value("rows").isArray()) {
        *error = "not a version 1 schedule with rows";
        return false;
    }
    QList<Row> rows;
    const QJsonArray array = root.value("rows").toArray();
    for (int i = 0; i < array.size(); ++i) {
        const QJsonObject object = array[i].toObject();
        Row row;
        const QJsonArray days = object.value("days").toArray();
        for (const QJsonValue &day : days) {
            const int number = day.isDouble() ? day.toInt() : 0;
            if (number < 1 || number > 7 || day.toDouble() != number) {
                *error = QString("row %1 has a day that is not 1 to 7").arg(i + 1);
                return false;
            }
            row.days |= quint8(1 << (number - 1));
        }
        row.from = parseTime(object.value("from").toString());
        row.to = parseTime(object.value("to").toString());
        if (row.from < 0 || row.to < 0) {
            *error = QString("row %1 has a time that is not HH:MM").arg(i + 1);
            return false;
        }
        const QJsonValue mbps = object.value("mbps");
        if (mbps.isNull()) {
            row.mbps = 0;
        } else if (mbps.isDouble() && mbps.toDouble() == mbps.toInt() && mbps.toInt() >= minimumMbps
                   && mbps.toInt() <= maximumMbps) {
            row.mbps = mbps.toInt();
        } else {
            *error = QString("row %1 has a limit that is neither 1 to 200 nor null").arg(i + 1);
            return false;
        }
        rows.append(row);
    }
    const QString invalid = validate(rows);
    if (!invalid.isEmpty()) {
        *error = invalid;
        return false;
    }
    *schedule = SpeedSchedule(rows);
    return true;
}

int SpeedSchedule::rowAt(const QDateTime &moment) const
{
    const qint64 now = weekTime(moment.toLocalTime());
    for (int i = 0; i < m_rows.size(); ++i) {
        for (const Span &span : spans(m_rows[i])) {
            if (positiveModulo(now - span.start, weekMs) < span.length)
                return i;
        }
    }
    return -1;
}

QDateTime SpeedSchedule::nextBoundary(const QDateTime &now) const
{
    if (m_rows.isEmpty())
        return QDateTime();
    const QDateTime local = now.toLocalTime();
    const qint64 wallNow = weekTime(local);
    // How far ahead in wall-clock time each start and end lies.
    QList<qint64> ahead;
    for (const Row &row : m_rows) {
        for (const Span &span : spans(row)) {
            for (const qint64 edge : {span.start, span.start + span.length}) {
                qint64 delta = positiveModulo(edge - wallNow, weekMs);
                if (delta == 0)
                    delta = weekMs;
                ahead.append(delta);
            }
        }
    }
    if (ahead.isEmpty())
        return QDateTime();
    // Read with the offset from UTC in force now: that holds until the zone's next change
    // of offset, which is looked at below, so a wall-clock time a DST day skips or repeats
    // never maps to the wrong moment.
    const qint64 delta = *std::min_element(ahead.begin(), ahead.end());
    const qint64 wall = local.time().msecsSinceStartOfDay() + delta;
    QDateTime next(local.date().addDays(wall / dayMs), QTime::fromMSecsSinceStartOfDay(int(wall % dayMs)),
                   Qt::OffsetFromUTC, local.offsetFromUtc());
    const QTimeZone zone = QTimeZone::systemTimeZone();
    if (zone.isValid() && zone.hasTransitions()) {
        const QTimeZone::OffsetData transition = zone.nextTransition(now);
        if (transition.atUtc.isValid() && transition.atUtc > now && transition.atUtc < next)
            next = transition.atUtc;
    }
    return next.toLocalTime();
}
