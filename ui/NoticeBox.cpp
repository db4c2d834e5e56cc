#include "ui/NoticeBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>

#include <algorithm>

#include "ui/DialogRegistry.h"

namespace NoticeBox {

void FitCaption(QMessageBox& box)
{
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (grid == nullptr) return;
    // The title bar's font is the window manager's; the application's bold font is a fair
    // guess, and the close, minimise and icon buttons take about as much again as a margin.
    QFont font = QApplication::font();
    font.setBold(true);
    const int caption = QFontMetrics(font).horizontalAdvance(box.windowTitle());
    const int wanted = std::max(caption * 5 / 4 + 160, 320);
    grid->addItem(new QSpacerItem(wanted, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

QMessageBox* Open(QWidget* parent, const QString& caption, const QString& text, bool drivable)
{
    auto* box = new QMessageBox(QMessageBox::Warning, caption, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    FitCaption(*box);
    if (drivable) {
        box->setObjectName(QStringLiteral("MessageBox"));
        DialogRegistry::SetControlId(box->button(QMessageBox::Ok), 1);
    }
    box->open();
    if (drivable) DialogRegistry::Opened(box);
    DialogRegistry::Announce(QStringLiteral("event messagebox ") + caption + QStringLiteral(" ") + text);
    return box;
}

}  // namespace NoticeBox
