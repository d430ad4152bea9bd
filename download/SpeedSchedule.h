#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// The operator's speed schedule: rows of days of the week, a from and a to time (local
// wall-clock, HH:MM) and a limit. A row whose `to` is not after its `from` crosses midnight:
// it starts on each listed day and ends on the next day at `to`; from == to is a whole 24
// hours (00:00–00:00: the whole listed day). Rows never overlap.
//
// Everything here is pure: the same local time gives the same answer.
class SpeedSchedule
{
public:
    struct Row {
        // Bit d - 1 for ISO day d (1 Monday … 7 Sunday).
        quint8 days = 0;
        int from = 0; // minutes since midnight, 0 to 1439
        int to = 0;
        int mbps = 0; // 1 to 200; 0 means no limit
        bool operator==(const Row &other) const
        {
            return days == other.days && from == other.from && to == other.to && mbps == other.mbps;
        }
    };

    static constexpr int minimumMbps = 1;
    static constexpr int maximumMbps = 200;

    SpeedSchedule() = default;
    explicit SpeedSchedule(const QList<Row> &rows) : m_rows(rows) {}

    const QList<Row> &rows() const { return m_rows; }
    bool isEmpty() const { return m_rows.isEmpty(); }

    // An empty text when the rows can be used; otherwise what is wrong, naming the row(s),
    // e.g. "Rows 1 and 3 overlap on Monday 22:00–23:00".
    static QString validate(const QList<Row> &rows);

    // The stored form (setting "speed_schedule"):
    //   {"version":1,"rows":[{"days":[1,2,3,4,5],"from":"10:00","to":"23:00","mbps":20}]}
    // days are ISO numbers (1 Monday … 7 Sunday); "mbps" is null for no limit.
    QByteArray toJson() const;
    // Reads the stored form; false with the reason when it cannot be used (not JSON, a bad
    // row, overlapping rows).
    static bool fromJson(const QByteArray &json, SpeedSchedule *schedule, QString *error);

    // "HH:MM" of minutes since midnight, and back (-1 for a text that is not a time of day).
    static QString timeText(int minutes);
    static int parseTime(const QString &text);
    // The day numbers of a row's days, 1 Monday to 7 Sunday.
    static QList<int> dayNumbers(quint8 days);

    // The index of the row covering this local wall-clock time, or -1.
    int rowAt(const QDateTime &local) const;
    // The first moment after `now` at which the row in force may change: the next start or
    // end of a row in local wall-clock time, or a change of the local time zone's offset
    // (a DST day) if that comes first. Invalid when the schedule is empty.
    QDateTime nextBoundary(const QDateTime &now) const;

private:
    QList<Row> m_rows;
};
