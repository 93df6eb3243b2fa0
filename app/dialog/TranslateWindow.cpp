#include "TranslateWindow.h"

#include <QAbstractButton>
#include <QLabel>
#include <QWidget>

#include "core/language.h"

namespace {

QString Translated(const QString& text) { return QString::fromStdString(Translate(text.toStdString())); }

}  // namespace

void TranslateWindow(QWidget* window) {
    if (!window->windowTitle().isEmpty()) window->setWindowTitle(Translated(window->windowTitle()));
    for (QObject* child : window->children()) {
        if (auto* label = qobject_cast<QLabel*>(child)) label->setText(Translated(label->text()));
        else if (auto* button = qobject_cast<QAbstractButton*>(child)) button->setText(Translated(button->text()));
    }
}
