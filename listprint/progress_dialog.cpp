#include "progress_dialog.h"

#include "printer.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

TListPrnPrgDlg::TListPrnPrgDlg(QWidget* Parent)
    : QDialog(Parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle(QStringLiteral("Print Progress"));
    QFont font(ResolveFontFamily(QStringLiteral("MS Sans Serif")));
    font.setPixelSize(11);
    setFont(font);
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    setFixedSize(293, 133);

    Bevel->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel->setGeometry(8, 8, 277, 57);
    lblStatus->setGeometry(20, 20, 249, 13);
    lblStatus->setAlignment(Qt::AlignCenter);
    lblPageNumber->setGeometry(20, 40, 253, 13);
    lblPageNumber->setAlignment(Qt::AlignCenter);
    ProgBar->setGeometry(8, 76, 277, 13);
    ProgBar->setRange(0, 10);
    ProgBar->setValue(0);
    ProgBar->setTextVisible(false);
    btnCancel->setGeometry(109, 100, 75, 25);
    btnCancel->setDefault(true);
    connect(btnCancel, &QPushButton::clicked, this, [this] {
        if (OnStop) OnStop(this);
    });

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TListPrnPrgDlg::HideStopButton() {
    btnCancel->setEnabled(false);
    btnCancel->hide();
    setFixedHeight(98 * logicalDpiY() / 96);
}

// Escape is the cancel button's key; it stops like the button instead of hiding the dialog
// while the job goes on.
void TListPrnPrgDlg::reject() {
    if (btnCancel->isEnabled() && OnStop) OnStop(this);
}

void TListPrnPrgDlg::closeEvent(QCloseEvent* Event) {
    Event->ignore();
    reject();
}
