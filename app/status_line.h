#pragma once
// The window's status line. A message too long for one line at the window's width wraps onto
// further lines, and the line grows to show all of it, so a narrow window never cuts off a
// countdown or a failure; without a message it is one line high.
#include <QStatusBar>

class TStatusLine : public QStatusBar {
public:
    explicit TStatusLine(QWidget* Parent = nullptr);
    // The height that shows the current message whole at the current width.
    int NeededHeight() const;

protected:
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;

private:
    QRect TextRect(int Width) const;
    void Fit();
    int OneLine_ = 16;
};
