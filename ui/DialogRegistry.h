#pragma once
// The open dialogs by name, so that the control channel can act on their controls as a user
// would. A control is found by the number it carries in its "controlId" property.

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

namespace DialogRegistry {

// Gives a control its number.
void SetControlId(QWidget* control, int id);
// The visible control of that number inside the dialog (the dialog's own buttons included).
QWidget* FindControl(QWidget* dialog, int id);

// Records an opened dialog under its object name and announces "event dialog <name>".
void Opened(QWidget* dialog);
// The open dialogs, innermost (last opened) last.
QStringList OpenNames();
// The innermost open dialog of that name, or null.
QWidget* Find(const QString& name);

// Reports any other event line (a message box shown, say) where the announcements go.
void Announce(const QString& line);

// Where the announcements go (the control channel); empty: nowhere.
void SetEventSink(std::function<void(const QString&)> sink);

}  // namespace DialogRegistry
