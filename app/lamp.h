#pragma once
// The status lamp: a rectangle filled with one colour (a 0x00BBGGRR value).
#include <QWidget>

#include <cstdint>

class TLamp : public QWidget {
public:
    explicit TLamp(QWidget* Parent = nullptr);
    void SetFillColor(int32_t Value);
    int32_t FillColor() const { return Fill_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    int32_t Fill_ = 255;
};
