#include "download/SpeedScheduler.h"

#include "catalogue/Setting.h"
#include "download/DownloadManager.h"

#include <QDebug>
#include <QQmlEngine>
#include <QVariantMap>

#include <algorithm>

namespace {

SpeedScheduler *g_instance = nullptr;

const char *const scheduleKey = "speed_schedule";

// The slider's own limit as the window reads it: a missing, 0 or non-numeric value is the
// maximum, anything else is kept within 1 to 200.
int storedOperatorLimit()
{
    bool ok = false;
    const int limit = Setting::instance()->get("download_limit").trimmed().toInt(&ok);
    if (!ok || limit == 0)
        return SpeedSchedule::maximumMbps;
    return std::max(SpeedSchedule::minimumMbps, std::min(SpeedSchedule::maximumMbps, limit));
}

}

SpeedScheduler *SpeedScheduler::instance()
{
    if (!g_instance) {
        g_instance = new SpeedScheduler(DownloadManager::instance());
        QQmlEngine::setObjectOwnership(g_instance, QQmlEngine::CppOwnership);
    }
    return g_instance;
}

SpeedScheduler::SpeedScheduler(DownloadManager *engine, Clock clock, QObject *parent)
    : QObject(parent)
    , m_engine(engine)
    , m_clock(std::move(clock))
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &SpeedScheduler::evaluate);

    m_operatorMbps = storedOperatorLimit();
    m_limit = m_operatorMbps;
    const QString stored = Setting::instance()->get(scheduleKey);
    if (!stored.isEmpty()) {
        QString reason;
        if (!SpeedSchedule::fromJson(stored.toUtf8(), &m_schedule, &reason)) {
            qDebug() << "[SpeedScheduler] Ignoring an unreadable speed schedule:" << reason;
            m_schedule = SpeedSchedule();
            m_resetNotice = true;
        }
    }
    evaluate();
}

void SpeedScheduler::setClock(Clock clock)
{
    m_clock = std::move(clock);
    evaluate();
}

QDateTime SpeedScheduler::now() const
{
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

QVariantList SpeedScheduler::rows() const
{
    QVariantList out;
    for (const SpeedSchedule::Row &row : m_schedule.rows()) {
        QVariantList days;
        for (int day : SpeedSchedule::dayNumbers(row.days))
            days.append(day);
        QVariantMap map;
        map["days"] = days;
        map["from"] = SpeedSchedule::timeText(row.from);
        map["to"] = SpeedSchedule::timeText(row.to);
        map["mbps"] = row.mbps;
        out.append(map);
    }
    return out;
}

void SpeedScheduler::apply(int mbps, bool scheduled, bool writeAlways)
{
    const bool changed = mbps != m_limit || scheduled != m_scheduled;
    if (changed || writeAlways) {
        if (mbps == 0)
            m_engine->setReadUnlimited();
        else
            m_engine->setReadChunkSize(uint(mbps) * 125000u);
    }
    m_limit = mbps;
    m_scheduled = scheduled;
    if (changed)
        emit limitChanged();
}

void SpeedScheduler::arm(const QDateTime &now)
{
    if (m_schedule.isEmpty()) {
        m_timer.stop();
        return;
    }
    const QDateTime next = m_schedule.nextBoundary(now);
    qint64 wait = next.isValid() ? now.msecsTo(next) : maxWaitMs;
    wait = std::max<qint64>(0, std::min<qint64>(wait, maxWaitMs));
    m_timer.start(int(wait));
}

void SpeedScheduler::evaluate()
{
    const QDateTime current = now();
    if (m_overrideUntil.isValid() && current >= m_overrideUntil)
        m_overrideUntil = QDateTime();
    if (m_overrideUntil.isValid()) {
        apply(m_operatorMbps, false, false);
    } else {
        const int row = m_schedule.rowAt(current);
        if (row >= 0)
            apply(m_schedule.rows().at(row).mbps, true, false);
        else
            apply(m_operatorMbps, false, false);
    }
    arm(current);
}

void SpeedScheduler::setOperatorLimit(int mbps)
{
    m_operatorMbps = std::max(SpeedSchedule::minimumMbps, std::min(SpeedSchedule::maximumMbps, mbps));
    // Outside the rows the slider's limit is written as the slider always wrote it.
    if (!m_scheduled)
        apply(m_operatorMbps, false, true);
}

void SpeedScheduler::setManualLimit(int mbps)
{
    m_operatorMbps = std::max(SpeedSchedule::minimumMbps, std::min(SpeedSchedule::maximumMbps, mbps));
    const QDateTime current = now();
    m_overrideUntil = m_schedule.isEmpty() ? QDateTime() : m_schedule.nextBoundary(current);
    apply(m_operatorMbps, false, true);
    arm(current);
}

QString SpeedScheduler::setRows(const QVariantList &rows)
{
    QList<SpeedSchedule::Row> parsed;
    for (int i = 0; i < rows.size(); ++i) {
        const QVariantMap map = rows[i].toMap();
        SpeedSchedule::Row row;
        for (const QVariant &day : map.value("days").toList()) {
            const int number = day.toInt();
            if (number < 1 || number > 7)
                return QString("Row %1 has a day that is not Monday to Sunday").arg(i + 1);
            row.days |= quint8(1 << (number - 1));
        }
        for (const char *field : {"from", "to"}) {
            const QString text = map.value(field).toString();
            const int minutes = SpeedSchedule::parseTime(text);
            if (minutes < 0)
                return QString("Row %1: \"%2\" is not a time of day (HH:MM)").arg(i + 1).arg(text);
            (QByteArray(field) == "from" ? row.from : row.to) = minutes;
        }
        row.mbps = map.value("mbps").toInt();
        parsed.append(row);
    }
    const QString error = SpeedSchedule::validate(parsed);
    if (!error.isEmpty())
        return error;
    m_schedule = SpeedSchedule(parsed);
    Setting::instance()->set(scheduleKey, QString::fromUtf8(m_schedule.toJson()));
    Setting::instance()->save();
    // A new schedule rules from now on.
    m_overrideUntil = QDateTime();
    m_resetNotice = false;
    emit rowsChanged();
    evaluate();
    return QString();
}

QString SpeedScheduler::takeResetNotice()
{
    if (!m_resetNotice)
        return QString();
    m_resetNotice = false;
    return "The stored schedule could not be read and was reset.";
}
