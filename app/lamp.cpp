#include "lamp.h"

#include "settings_values.h"

#include <QPainter>

TLamp::TLamp(QWidget* Parent) : QWidget(Parent) { setFixedSize(33, 23); }

void TLamp::SetFillColor(int32_t Value) {
    Fill_ = Value;
    update();
}

void TLamp::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(ColorFromValue(Fill_));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}
