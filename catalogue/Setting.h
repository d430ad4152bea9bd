#pragma once

#include <QMap>
#include <QObject>
#include <QString>

// The key/value settings store, mirrored to the setting table on every save.
class Setting : public QObject
{
    Q_OBJECT
public:
    static Setting *instance();

    Q_INVOKABLE void set(const QString &key, const QString &value);
    Q_INVOKABLE QString get(const QString &key);
    Q_INVOKABLE void save();

signals:
    void changed();

private:
    Setting();
    void load();

    QMap<QString, QString> m_values;
};
