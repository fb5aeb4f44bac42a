#pragma once
// TListPrnPrgDlg: the small modeless dialog that shows which page is being generated or sent,
// with a bar and a Stop button. It has no behaviour of its own: Stop (the button, Escape or
// closing the window) calls OnStop, which the kernel connects to CancelPrinting.
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <functional>

class TListPrnPrgDlg : public QDialog {
public:
    explicit TListPrnPrgDlg(QWidget* Parent = nullptr);

    // Hides the Stop button and cuts the button row off the dialog.
    void HideStopButton();

    QFrame* Bevel = new QFrame(this);
    QLabel* lblStatus = new QLabel(this);
    QLabel* lblPageNumber = new QLabel(this);
    QProgressBar* ProgBar = new QProgressBar(this);
    QPushButton* btnCancel = new QPushButton(QStringLiteral("&Stop"), this);

    std::function<void(TListPrnPrgDlg* Sender)> OnStop;

protected:
    void reject() override;
    void closeEvent(QCloseEvent* Event) override;
};
