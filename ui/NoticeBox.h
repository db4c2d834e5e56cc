#pragma once
// The program's message boxes: the warning icon and OK, not modal to the session (traffic
// keeps flowing while the user reads), always wide enough for their caption, and reported to
// the control channel as "event messagebox <caption> <text>".

#include <QMessageBox>
#include <QString>

namespace NoticeBox {

// Opens the box over parent (null: on its own) and returns it; it deletes itself when closed.
// A drivable box is also an open dialog named "MessageBox" whose OK is control 1.
QMessageBox* Open(QWidget* parent, const QString& caption, const QString& text, bool drivable = false);

// Widens the box so that the window manager need not cut its caption.
void FitCaption(QMessageBox& box);

}  // namespace NoticeBox
