#include "sent_lines.h"

void TSentLines::Add(const QString& Line) {
    Lines_.append(Line);
    if (Lines_.size() > MaxLines) Lines_.removeFirst();
    At_ = -1;
}

void TSentLines::Refused(qsizetype WireLength, const std::function<qsizetype(const QString&)>& LengthOf) {
    At_ = -1;
    for (qsizetype i = Lines_.size() - 1; i >= 0; --i) {
        if (LengthOf(Lines_[i]) != WireLength) continue;
        Lines_.append(Lines_.takeAt(i));
        return;
    }
}

std::optional<QString> TSentLines::Up(const QString& Shown) {
    if (At_ == 0 || Lines_.isEmpty()) return std::nullopt;
    if (At_ < 0) {
        Draft_ = Shown;
        At_ = Lines_.size();
    }
    return Lines_[--At_];
}

std::optional<QString> TSentLines::Down(const QString&) {
    if (At_ < 0) return std::nullopt;
    if (++At_ < Lines_.size()) return Lines_[At_];
    At_ = -1;
    return Draft_;
}
