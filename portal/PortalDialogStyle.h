#pragma once

// The style rules the login and update dialogs have in common, in the order both sheets
// end with: button states, line edits, labels and links on the dark background.
namespace PortalDialogStyle {

inline constexpr const char sharedRules[] =
    "QPushButton:hover {\n"
    "\tbackground-color: #545454;\n"
    "}\n"
    "QPushButton:pressed {\n"
    "\tbackground-color: #434343;\n"
    "}\n"
    "QLineEdit {\n"
    "\tbackground-color: rgb(51, 51, 51);\n"
    "\tcolor: rgb(252, 248, 248);\n"
    "\tborder: 1px solid #545454;\n"
    "}\n"
    "QLabel {\n"
    "\tcolor: rgb(255, 255, 255);\n"
    "}\n"
    "a {\n"
    "\tcolor: rgb(255, 255, 255);\n"
    "\tbackground-color: rgba(255, 255, 255, 0);\n"
    "}\n";

}
