#include "dialogs.h"

#include <QApplication>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontDialog>
#include <QIcon>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>

void TDialogs::MessageBox(QWidget* Parent, const QString& Text) {
    QMessageBox::information(Parent, QStringLiteral("KorvelChat 2"), Text);
}

bool TDialogs::Confirm(QWidget* Parent, const QString& Text, const QString& AcceptText) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("KorvelChat 2"), Text, QMessageBox::NoButton, Parent);
    QPushButton* accept = box.addButton(AcceptText, QMessageBox::AcceptRole);
    box.setDefaultButton(box.addButton(QMessageBox::Cancel));  // Enter never trusts by accident
    box.exec();
    return box.clickedButton() == accept;
}

std::optional<TFontChoice> TDialogs::ChooseFont(QWidget* Parent, const TFontChoice& Initial) {
    // The font dialog has no colour of its own: a button beside OK and Cancel picks it, and
    // shows the chosen colour as its icon.
    QFontDialog dialog(Initial.Font, Parent);
    dialog.setOption(QFontDialog::DontUseNativeDialog);
    QColor color = Initial.Color;
    if (auto* buttons = dialog.findChild<QDialogButtonBox*>()) {
        QPushButton* pick = buttons->addButton(QStringLiteral("Co&lour..."), QDialogButtonBox::ActionRole);
        pick->setObjectName(QStringLiteral("fontColour"));
        auto showColor = [pick, &color] {
            QPixmap swatch(16, 16);
            swatch.fill(color);
            pick->setIcon(QIcon(swatch));
        };
        showColor();
        QObject::connect(pick, &QPushButton::clicked, &dialog, [&dialog, &color, showColor] {
            const QColor chosen = QColorDialog::getColor(color, &dialog, QStringLiteral("Font colour"));
            if (chosen.isValid()) color = chosen;
            showColor();
        });
    }
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return TFontChoice{dialog.selectedFont(), color};
}

std::optional<QColor> TDialogs::ChooseColor(QWidget* Parent, const QColor& Initial) {
    const QColor color = QColorDialog::getColor(Initial, Parent);
    if (!color.isValid()) return std::nullopt;
    return color;
}

std::optional<QString> TDialogs::ChooseSaveFile(QWidget* Parent, const QString& DefaultSuffix,
                                                const QString& Filter, const QString& Proposed) {
    QFileDialog dialog(Parent);
    dialog.selectFile(Proposed);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(DefaultSuffix);
    dialog.setNameFilter(Filter);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first();
}

std::optional<QString> TDialogs::ChooseOpenFile(QWidget* Parent, const QString& Proposed,
                                                const QString& Filter) {
    QFileDialog dialog(Parent);
    dialog.selectFile(Proposed);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
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
