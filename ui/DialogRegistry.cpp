#include "ui/DialogRegistry.h"

#include <QAbstractButton>
#include <QVariant>

#include <vector>

namespace DialogRegistry {

namespace {

std::vector<QPointer<QWidget>>& Open()
{
    static std::vector<QPointer<QWidget>> dialogs;
    return dialogs;
}

std::function<void(const QString&)>& Sink()
{
    static std::function<void(const QString&)> sink;
    return sink;
}

void Prune()
{
    auto& dialogs = Open();
    std::erase_if(dialogs, [](const QPointer<QWidget>& d) { return d.isNull() || !d->isVisible(); });
}

}  // namespace

void SetControlId(QWidget* control, int id)
{
    if (control != nullptr) control->setProperty("controlId", id);
}

QWidget* FindControl(QWidget* dialog, int id)
{
    if (dialog == nullptr) return nullptr;
    QWidget* hidden = nullptr;
    for (QWidget* child : dialog->findChildren<QWidget*>()) {
        const QVariant value = child->property("controlId");
        if (!value.isValid() || value.toInt() != id) continue;
        if (child->isVisibleTo(dialog)) return child;
        if (hidden == nullptr) hidden = child;
    }
    return hidden;
}

void Opened(QWidget* dialog)
{
    if (dialog == nullptr) return;
    Prune();
    auto& dialogs = Open();
    std::erase_if(dialogs, [dialog](const QPointer<QWidget>& d) { return d == dialog; });
    dialogs.emplace_back(dialog);
    if (Sink()) Sink()(QStringLiteral("event dialog ") + dialog->objectName());
}

QStringList OpenNames()
{
    Prune();
    QStringList names;
    for (const auto& dialog : Open()) names << dialog->objectName();
    return names;
}

QWidget* Find(const QString& name)
{
    Prune();
    const auto& dialogs = Open();
    for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it) {
        if ((*it)->objectName() == name) return *it;
    }
    return nullptr;
}

void Announce(const QString& line)
{
    if (Sink()) Sink()(line);
}

void SetEventSink(std::function<void(const QString&)> sink)
{
    Sink() = std::move(sink);
}

}  // namespace DialogRegistry
