#pragma once

// The real window in a test: qrc:///main.qml loaded offscreen with the real DCP list,
// download manager and settings store over the test's own catalogue; QML warnings
// collected so that a test fails on any of them; items found by objectName; boxes found
// and answered as a user would.

#include <QJSValue>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <memory>

class PortalStandin;
class QQuickItem;
class QQuickWindow;
class QMessageBox;

namespace WindowFixture {

// Collects every QML warning (errors in scripts, binding loops, unresolved imports) from
// the moment it is installed; chains to the handler that was there before.
class QmlWarnings
{
public:
    static void install();
    static QStringList take();
};

// The start of every window test executable: the log captured, QML warnings collected,
// the stand-in serving assets from assetRoot, downloads running at the full limit, the
// download manager created.
bool startTestCase(PortalStandin &standin, const QString &assetRoot);
// Fails the running test with every QML warning collected since the last call.
void failOnQmlWarnings();

// Records the URLs the window hands to the desktop.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    UrlCatcher();
    ~UrlCatcher() override;
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

class Window
{
public:
    Window();
    ~Window();
    bool load();
    QQuickWindow *window() const { return m_window; }
    QQmlApplicationEngine &engine() { return *m_engine; }

    QQuickItem *item(const QString &objectName) const;
    QList<QQuickItem *> items(const QString &objectName) const;
    QList<QQuickItem *> visibleItems(const QString &objectName) const;
    QObject *object(const QString &objectName) const;
    // The grid's cells in their order (the items it shows now, not those it let go).
    QList<QQuickItem *> gridCells() const;
    // The details list's page of the DCP at this index.
    QQuickItem *detailsPage(int index) const;
    QString text(const QString &objectName) const;
    // Evaluates a JavaScript expression in the scope of main.qml (its imports and ids).
    QVariant eval(const QString &expression) const;

    void click(QQuickItem *item) const;
    void typeInto(const QString &objectName, const QString &keys) const;
    // Lets queued work and the scene graph settle.
    void settle(int milliseconds = 30) const;

private:
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
};

// The first item under root (itself included) with this objectName.
QQuickItem *findIn(QQuickItem *root, const QString &objectName);

// The items a view (ListView, GridView) shows now, in its order.
QList<QQuickItem *> viewItems(QQuickItem *view);

// One question box of the window as the user sees it.
struct Box {
    QString title;
    QString text;
    QString informativeText;
    int icon = -1;       // QMessageBox::Icon
    int buttons = 0;     // QMessageBox::StandardButtons
};

// The visible box whose QML object has this objectName, or an invalid Box.
bool visibleBox(const Window &window, const QString &objectName, Box *box);
// Presses one of its buttons (QMessageBox::StandardButton) as the user would.
bool answerBox(const Window &window, const QString &objectName, int button);
// How many boxes are visible at all.
int visibleBoxCount(const Window &window);

// Receivers still connected to a signal of an object (SIGNAL() text).
int receivers(const QObject *object, const char *signal);

}

#include "SampleCatalogue.h"

namespace WindowFixture {

using SampleReel = SampleCatalogue::SampleReel;

// A DCP stored in the catalogue (database and DCP list) as an import leaves it, under the
// test's downloads folder, without asking the download manager for its queue.
DCP *addDcp(const QString &title, const QList<SampleReel> &reels, const QString &imageUrl = QString());
// Stores an unacknowledged event for the reel, as the notification manager would.
void addUnsyncedEvent(Reel *reel, int event);

// A reel whose one asset (a new file under the stand-in's asset root) the stand-in sends
// slowly, so that its transfer keeps running through a test.
SampleReel slowReel(PortalStandin &standin, quint64 size = 4000000, quint64 bytesPerSecond = 100000);

// The grid cell whose card shows this title, or null.
QQuickItem *cardCell(const Window &window, const QString &title);

// Removes from the catalogue every DCP of the list still in it, so the engine has nothing
// left of a case to fetch; empties the list.
void removeDcps(QList<DCP *> &dcps);

}
