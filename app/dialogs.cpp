#include "dialogs.h"

#include <QApplication>
#include <QColorDialog>
#include <QFileDialog>
#include <QFontDialog>
#include <QMessageBox>

void TDialogs::MessageBox(QWidget* Parent, const QString& Text) {
    QMessageBox::information(Parent, QApplication::applicationName(), Text);
}

std::optional<QFont> TDialogs::ChooseFont(QWidget* Parent, const QFont& Initial) {
    bool ok = false;
    const QFont font = QFontDialog::getFont(&ok, Initial, Parent);
    if (!ok) return std::nullopt;
    return font;
}

std::optional<QColor> TDialogs::ChooseColor(QWidget* Parent, const QColor& Initial) {
    const QColor color = QColorDialog::getColor(Initial, Parent);
    if (!color.isValid()) return std::nullopt;
    return color;
}

std::optional<QString> TDialogs::ChooseSaveFile(QWidget* Parent, const QString& DefaultSuffix,
                                                const QString& Filter) {
    QFileDialog dialog(Parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(DefaultSuffix);
    dialog.setNameFilter(Filter);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first();
}

namespace {
TDialogs RealDialogs;
TDialogs* Current = &RealDialogs;
}  // namespace

TDialogs& Dialogs() { return *Current; }
void SetDialogs(TDialogs* Replacement) { Current = Replacement ? Replacement : &RealDialogs; }
