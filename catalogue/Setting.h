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
    // Writes the whole map and raises changed(); a failure is logged and shown (the window
    // and the download manager call it from the event loop) and the map keeps its values.
    Q_INVOKABLE void save();
    // The same write, throwing the database's runtime error instead.
    void write();

signals:
    void changed();

private:
    Setting();
    void load();

    QMap<QString, QString> m_values;
};
