#include "app/PlainTextBoxes.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMessageBox>

namespace PlainTextBoxes {

namespace {

class Filter : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            if (auto *box = qobject_cast<QMessageBox *>(watched))
                apply(box);
        return false;
    }
};

}

void apply(QMessageBox *box)
{
    box->setTextFormat(Qt::PlainText);
    // The informative text has a label of its own, which the box's format does not reach.
    if (auto *informative = box->findChild<QLabel *>("qt_msgbox_informativelabel"))
        informative->setTextFormat(Qt::PlainText);
}

void install()
{
    static Filter *filter = nullptr;
    if (filter || !qApp)
        return;
    filter = new Filter(qApp);
    qApp->installEventFilter(filter);
}

}
