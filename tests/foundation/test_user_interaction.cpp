#include "app/WidgetUserInteraction.h"
#include "support/TestMain.h"

#include <QPushButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

// The widget side of the seam shows exactly what core code asked for.
class TestUserInteraction : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
    }

    void showsBoxAndReturnsPressedButton()
    {
        WidgetUserInteraction interaction;
        QString seenText;
        QString seenInformative;
        QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons seenButtons;
        QMessageBox::StandardButton seenDefault = QMessageBox::NoButton;
        QTimer::singleShot(100, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            seenText = box->text();
            seenInformative = box->informativeText();
            seenIcon = box->icon();
            seenButtons = box->standardButtons();
            seenDefault = box->standardButton(box->defaultButton());
            box->button(QMessageBox::No)->click();
        });
        UserInteraction::Message message;
        message.icon = UserInteraction::Icon::Warning;
        message.text = "Would you like to redownload the file now?";
        message.informativeText = "Main data in the ORVDCP missing.";
        message.buttons = UserInteraction::Yes | UserInteraction::No;
        message.defaultButton = UserInteraction::Yes;
        QCOMPARE(interaction.showMessage(message), UserInteraction::No);
        QCOMPARE(seenText, message.text);
        QCOMPARE(seenInformative, message.informativeText);
        QCOMPARE(seenIcon, QMessageBox::Warning);
        QCOMPARE(seenButtons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(seenDefault, QMessageBox::Yes);
    }

    void fallbackRefusesWhenNothingInstalled()
    {
        UserInteraction::install(nullptr);
        UserInteraction::Message message;
        message.buttons = UserInteraction::Yes | UserInteraction::No;
        QCOMPARE(UserInteraction::current()->showMessage(message), UserInteraction::No);
        QVERIFY(!UserInteraction::current()->openUrl(QUrl("https://example.invalid/")));
    }
};

TOLVANE_TEST_MAIN(TestUserInteraction)
#include "test_user_interaction.moc"
