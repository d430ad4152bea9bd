#include "WindowFixture.h"

#include "app/WindowContext.h"
#include "PortalStandin.h"
#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "download/SpeedScheduler.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QMutex>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>

#include "support/TestMain.h"

namespace WindowFixture {

namespace {

QtMessageHandler g_previous = nullptr;
QStringList g_warnings;
QMutex g_mutex;

bool isQmlWarning(const QString &message)
{
    // A cover the server does not deliver is a state of the data, shown as a placeholder.
    if (message.contains("QML Image: Error transferring"))
        return false;
    return message.contains("qrc:/") || message.contains(".qml:") || message.contains("Binding loop")
        || message.contains("TypeError") || message.contains("ReferenceError") || message.contains("is not installed")
        || message.contains("QQmlApplicationEngine failed");
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg && isQmlWarning(message)) {
        QMutexLocker lock(&g_mutex);
        g_warnings.append(message);
    }
    if (g_previous)
        g_previous(type, context, message);
}

void collect(QQuickItem *item, const QString &name, QList<QQuickItem *> &out)
{
    if (item->objectName() == name)
        out.append(item);
    for (QQuickItem *child : item->childItems())
        collect(child, name, out);
}

bool effectivelyVisible(QQuickItem *item)
{
    for (QQuickItem *i = item; i; i = i->parentItem()) {
        if (!i->isVisible() || i->opacity() == 0)
            return false;
    }
    return true;
}

QMessageBox *widgetBox(const QString &title)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (box && box->isVisible() && box->windowTitle() == title)
            return box;
    }
    return nullptr;
}

}

void QmlWarnings::install()
{
    QtMessageHandler previous = qInstallMessageHandler(handler);
    if (previous != handler)
        g_previous = previous;
}

QStringList QmlWarnings::take()
{
    QMutexLocker lock(&g_mutex);
    QStringList out = g_warnings;
    g_warnings.clear();
    return out;
}

bool startTestCase(PortalStandin &standin, const QString &assetRoot)
{
    TestSupport::captureLog();
    QmlWarnings::install();
    if (!standin.start())
        return false;
    standin.setAssetRoot(assetRoot.toStdString());
    Setting::instance()->set("download_paused", "0");
    Setting::instance()->set("download_limit", "200");
    Setting::instance()->save();
    DownloadManager::instance();
    return true;
}

void failOnQmlWarnings()
{
    const QStringList warnings = QmlWarnings::take();
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
}

UrlCatcher::UrlCatcher()
{
    QDesktopServices::setUrlHandler("file", this, "open");
    QDesktopServices::setUrlHandler("http", this, "open");
    QDesktopServices::setUrlHandler("https", this, "open");
}

UrlCatcher::~UrlCatcher()
{
    QDesktopServices::unsetUrlHandler("file");
    QDesktopServices::unsetUrlHandler("http");
    QDesktopServices::unsetUrlHandler("https");
}

Window::Window()
    : m_engine(new QQmlApplicationEngine)
{
}

Window::~Window()
{
    if (m_window)
        m_window->close();
    m_engine.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool Window::load()
{
    WindowContext::expose(*m_engine);
    m_engine->load(QUrl("qrc:///main.qml"));
    if (m_engine->rootObjects().isEmpty())
        return false;
    m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().first());
    if (!m_window || !QTest::qWaitForWindowExposed(m_window))
        return false;
    m_window->requestActivate();
    if (!QTest::qWaitForWindowActive(m_window, 2000))
        return false;
    settle();
    return true;
}

QList<QQuickItem *> Window::items(const QString &objectName) const
{
    QList<QQuickItem *> out;
    collect(m_window->contentItem(), objectName, out);
    return out;
}

QList<QQuickItem *> Window::visibleItems(const QString &objectName) const
{
    QList<QQuickItem *> out;
    for (QQuickItem *item : items(objectName)) {
        if (effectivelyVisible(item))
            out.append(item);
    }
    return out;
}

QQuickItem *Window::item(const QString &objectName) const
{
    const QList<QQuickItem *> found = items(objectName);
    return found.isEmpty() ? nullptr : found.first();
}

QQuickItem *findIn(QQuickItem *root, const QString &objectName)
{
    QList<QQuickItem *> out;
    if (root)
        collect(root, objectName, out);
    return out.isEmpty() ? nullptr : out.first();
}

namespace {
QQuickItem *itemAtIndex(QQuickItem *view, int index)
{
    QQuickItem *found = nullptr;
    QMetaObject::invokeMethod(view, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, found), Q_ARG(int, index));
    return found;
}
}

QList<QQuickItem *> viewItems(QQuickItem *view)
{
    QList<QQuickItem *> items;
    if (!view)
        return items;
    const int count = view->property("count").toInt();
    for (int i = 0; i < count; ++i) {
        if (QQuickItem *item = itemAtIndex(view, i))
            items.append(item);
    }
    return items;
}

QList<QQuickItem *> Window::gridCells() const
{
    return viewItems(item("grid"));
}

QQuickItem *Window::detailsPage(int index) const
{
    return itemAtIndex(item("detailsList"), index);
}

QObject *Window::object(const QString &objectName) const
{
    if (m_window->objectName() == objectName)
        return m_window;
    if (QObject *found = m_window->findChild<QObject *>(objectName))
        return found;
    return item(objectName);
}

QString Window::text(const QString &objectName) const
{
    QObject *found = object(objectName);
    return found ? found->property("text").toString() : QString("<no item %1>").arg(objectName);
}

QVariant Window::eval(const QString &expression) const
{
    QQmlExpression e(qmlContext(m_window), m_window, expression);
    bool undefined = false;
    const QVariant value = e.evaluate(&undefined);
    if (e.hasError())
        qWarning() << "expression failed:" << expression << e.error().toString();
    return value;
}

void Window::click(QQuickItem *target) const
{
    QVERIFY(target);
    const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    settle();
}

void Window::typeInto(const QString &objectName, const QString &keys) const
{
    QQuickItem *target = item(objectName);
    QVERIFY(target);
    if (!target->hasActiveFocus())
        click(target);
    for (const QChar c : keys)
        QTest::keyClick(m_window, c.toLatin1());
    settle();
}

void Window::settle(int milliseconds) const
{
    QTest::qWait(milliseconds);
}

bool visibleBox(const Window &window, const QString &objectName, Box *box)
{
    QObject *dialog = window.object(objectName);
    if (!dialog || !dialog->property("visible").toBool())
        return false;
    box->title = dialog->property("title").toString();
    box->text = dialog->property("text").toString();
    box->informativeText = dialog->property("informativeText").toString();
    box->icon = dialog->property("icon").toInt();
    box->buttons = dialog->property("standardButtons").toInt();
    // The box the user sees says the same.
    if (QMessageBox *shown = widgetBox(box->title)) {
        if (shown->text() != box->text || shown->informativeText() != box->informativeText
            || int(shown->icon()) != box->icon || int(shown->standardButtons()) != box->buttons) {
            qWarning() << "the shown box differs from its dialog:" << shown->text() << shown->informativeText();
            return false;
        }
    }
    return true;
}

bool answerBox(const Window &window, const QString &objectName, int button)
{
    Box box;
    if (!visibleBox(window, objectName, &box))
        return false;
    if (QMessageBox *shown = widgetBox(box.title)) {
        QAbstractButton *pressed = shown->button(QMessageBox::StandardButton(button));
        if (!pressed)
            return false;
        QTest::mouseClick(pressed, Qt::LeftButton);
    } else {
        QObject *dialog = window.object(objectName);
        QQmlExpression e(qmlContext(dialog), dialog, QString("click(%1)").arg(button));
        e.evaluate();
        if (e.hasError())
            return false;
    }
    window.settle();
    return true;
}

int visibleBoxCount(const Window &window)
{
    int count = 0;
    for (const char *name : {"aboutDialog", "resumeDialog", "dcpRemovalDialog", "reelRemovalDialog"}) {
        QObject *dialog = window.object(name);
        if (dialog && dialog->property("visible").toBool())
            ++count;
    }
    return count;
}

namespace {
// QObject::receivers is protected; a pointer to it, taken from a subclass, may be called
// on any object.
struct ReceiverCount : QObject {
    static int of(const QObject *object, const char *signal) { return (object->*(&ReceiverCount::receivers))(signal); }
};
}

int receivers(const QObject *object, const char *signal)
{
    return ReceiverCount::of(object, signal);
}

}

#include "support/TestMain.h"

namespace WindowFixture {

DCP *addDcp(const QString &title, const QList<SampleReel> &reels, const QString &imageUrl)
{
    return SampleCatalogue::addDcp(title, title, reels, imageUrl, TestSupport::dataDir() + "/downloads");
}

void addUnsyncedEvent(Reel *reel, int event)
{
    SampleCatalogue::addUnacknowledgedEvent(reel, event);
}

SampleReel slowReel(PortalStandin &standin, quint64 size, quint64 bytesPerSecond)
{
    return SampleCatalogue::slowReel(standin, size, bytesPerSecond);
}

}

namespace WindowFixture {

QQuickItem *cardCell(const Window &window, const QString &title)
{
    for (QQuickItem *cell : window.gridCells()) {
        if (findIn(cell, "cardTitle")->property("text").toString() == title)
            return cell;
    }
    return nullptr;
}

void removeDcps(QList<DCP *> &dcps)
{
    for (DCP *dcp : qAsConst(dcps))
        if (DCPManager::instance()->getDCP(dcp->uuid()))
            DownloadManager::instance()->removeDownload(dcp);
    dcps.clear();
}

}
