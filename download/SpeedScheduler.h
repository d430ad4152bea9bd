#pragma once

#include "download/SpeedSchedule.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantList>

#include <functional>

class DownloadManager;

// Keeps the download engine's speed limit to the operator's schedule: inside a row the
// row's limit, outside every row the slider's own limit (setting "download_limit"). The
// limit changes by itself at each boundary, with or without the window and in the middle
// of a transfer. Moving the slider overrides the schedule until the next boundary.
//
// The schedule is stored under the setting "speed_schedule" (see SpeedSchedule::toJson).
// With no schedule the slider alone rules: nothing here writes the engine unless the
// window's slider asks for it.
//
// Lives on the main thread; exposed to the window as `speed_schedule`.
class SpeedScheduler : public QObject
{
    Q_OBJECT
    // The limit in force in Mbit/s; 0 means no limit.
    Q_PROPERTY(int limit_mbps READ limitMbps NOTIFY limitChanged)
    // Whether the limit in force comes from a row of the schedule.
    Q_PROPERTY(bool scheduled READ isScheduled NOTIFY limitChanged)
    // The rows for the dialog: {days: [1 Monday … 7 Sunday], from: "HH:MM", to: "HH:MM",
    // mbps: 1 to 200, or 0 for no limit}.
    Q_PROPERTY(QVariantList rows READ rows NOTIFY rowsChanged)
public:
    using Clock = std::function<QDateTime()>;

    static SpeedScheduler *instance();
    // clock gives the current time (QDateTime::currentDateTime when empty).
    explicit SpeedScheduler(DownloadManager *engine, Clock clock = Clock(), QObject *parent = nullptr);

    // Another clock (tests); the limit in force is worked out again at once.
    void setClock(Clock clock);

    int limitMbps() const { return m_limit; }
    bool isScheduled() const { return m_scheduled; }
    QVariantList rows() const;
    const SpeedSchedule &schedule() const { return m_schedule; }
    // When the limit in force is looked at next (at the latest maxWaitMs from the last look).
    int msecsToNextCheck() const { return m_timer.isActive() ? m_timer.remainingTime() : -1; }

    // The slider was made with the operator's limit: it rules outside the rows.
    Q_INVOKABLE void setOperatorLimit(int mbps);
    // The operator moved the slider: the limit applies at once and overrides the schedule
    // until its next boundary.
    Q_INVOKABLE void setManualLimit(int mbps);
    // Replaces the schedule with these rows and stores it; returns what is wrong with them
    // (nothing is stored then) or an empty text.
    Q_INVOKABLE QString setRows(const QVariantList &rows);
    // "The stored schedule could not be read and was reset." the first time it is asked
    // after an unreadable stored schedule was ignored; empty otherwise.
    Q_INVOKABLE QString takeResetNotice();

    // The longest wait between two looks at the clock: a change of the system's clock or
    // time zone is followed within it. A member so tests can shorten it.
    int maxWaitMs = 30000;

signals:
    void limitChanged();
    void rowsChanged();

private:
    void evaluate();
    void apply(int mbps, bool scheduled, bool writeAlways);
    void arm(const QDateTime &now);
    QDateTime now() const;

    DownloadManager *m_engine;
    Clock m_clock;
    SpeedSchedule m_schedule;
    QTimer m_timer;
    int m_operatorMbps = SpeedSchedule::maximumMbps;
    int m_limit = SpeedSchedule::maximumMbps;
    bool m_scheduled = false;
    // The slider's limit rules until this moment, when it was moved inside the schedule.
    QDateTime m_overrideUntil;
    bool m_resetNotice = false;
};
