#include "catalogue/Setting.h"

#include "base/WindowCall.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/DatabaseTransaction.h"

#include <QSqlQuery>
#include <QVariant>

#include <stdexcept>

Setting *Setting::instance()
{
    static Setting *singleton = nullptr;
    if (!singleton)
        singleton = new Setting();
    return singleton;
}

Setting::Setting()
{
    load();
    if (m_values.isEmpty()) {
        m_values.insert("download_speed", "0");
        m_values.insert("download_paused", "0");
        write();
    }
}

void Setting::load()
{
    QSqlQuery query = DatabaseManager::instance()->getSettingsQuery();
    while (query.next())
        m_values.insert(query.value(0).toString(), query.value(1).toString());
}

void Setting::set(const QString &key, const QString &value)
{
    m_values.insert(key, value);
}

QString Setting::get(const QString &key)
{
    return m_values.value(key);
}

void Setting::save()
{
    WindowCall::guard("[Setting] save failed:", "The settings could not be saved.", [this] { write(); });
}

void Setting::write()
{
    DatabaseManager *database = DatabaseManager::instance();
    DatabaseTransaction transaction(database);
    database->truncateSettings();
    for (auto it = m_values.constBegin(); it != m_values.constEnd(); ++it)
        database->insertSetting(it.key(), it.value());
    if (!transaction.commit())
        throw std::runtime_error("Unable to save settings");
    emit changed();
}
