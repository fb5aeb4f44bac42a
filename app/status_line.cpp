#include "status_line.h"

#include <QPainter>
#include <QResizeEvent>

namespace {
constexpr int Margin = 4;  // beside and around the text, as the one-line message has it
}

TStatusLine::TStatusLine(QWidget* Parent) : QStatusBar(Parent) {
    setSizeGripEnabled(true);
    connect(this, &QStatusBar::messageChanged, this, [this] { Fit(); });
}

QRect TStatusLine::TextRect(int Width) const {
    // The size grip keeps its corner; the text wraps in what is left.
    return QRect(Margin, 0, std::max(1, Width - 2 * Margin - (isSizeGripEnabled() ? 16 : 0)), height());
}

int TStatusLine::NeededHeight() const {
    const QString message = currentMessage();
    if (message.isEmpty()) return OneLine_;
    const QRect text = fontMetrics().boundingRect(TextRect(width()).adjusted(0, 0, 0, 10000),
                                                  Qt::TextWordWrap | Qt::AlignLeft, message);
    return std::max(OneLine_, text.height() + Margin);
}

void TStatusLine::Fit() {
    if (currentMessage().isEmpty()) OneLine_ = std::max(16, sizeHint().height());
    const int needed = NeededHeight();
    if (needed != height()) setFixedHeight(needed);
    update();
}

void TStatusLine::resizeEvent(QResizeEvent* Event) {
    QStatusBar::resizeEvent(Event);
    if (Event->size().width() != Event->oldSize().width()) Fit();
}

void TStatusLine::paintEvent(QPaintEvent* Event) {
    const QString message = currentMessage();
    if (message.isEmpty()) {
        QStatusBar::paintEvent(Event);
        return;
    }
    QPainter p(this);
    p.setPen(palette().windowText().color());
    p.drawText(TextRect(width()), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignVCenter, message);
}
