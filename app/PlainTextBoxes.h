#pragma once

class QMessageBox;

// Message boxes show their texts as written: a DCP's title or a portal's answer in one of
// them is never read as markup (no images fetched, no colours or fake states painted).
namespace PlainTextBoxes {

// The box's text and informative text become plain text.
void apply(QMessageBox *box);

// From now on every message box of the application, those the QML window opens included,
// shows plain text. Once per process; later calls do nothing.
void install();

}
