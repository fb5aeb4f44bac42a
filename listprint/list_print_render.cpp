// Page rendering: column layouts, table lines with their cell grid, the {$...} macros, the
// header and footer (their & codes, the slot builder, their placement) and the frame lines.
#include "list_print.h"

#include <QDate>
#include <QFileInfo>
#include <QLocale>
#include <QTime>

#include <cmath>
#include <limits>

namespace {

// Numbers in column layouts use the user's decimal separator and never group digits.
QLocale NumberLocale() {
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
    return locale;
}

QString ShortDate() { return QLocale().toString(QDate::currentDate(), QLocale::ShortFormat); }
QString LongDate() { return QLocale().toString(QDate::currentDate(), QLocale::LongFormat); }
QString ShortTime() { return QLocale().toString(QTime::currentTime(), QLocale::ShortFormat); }

// The locale's long time form without the time zone that Qt's long format appends.
QString LongTime() {
    QString format = QLocale().timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return QLocale().toString(QTime::currentTime(), format.trimmed());
}

}  // namespace

QString TCustomListPrint::FormatNumber(double Value) const {
    return NumberLocale().toString(Value, 'g', 15);
}

TCustomListPrint::TColumnSpec TCustomListPrint::ParseColumnSpec(const QString& Item) const {
    TColumnSpec column;
    column.Width = DefaultColumnWidth_;
    QStringView rest(Item);
    if (!rest.isEmpty()) {
        switch (rest[0].unicode()) {
        case u'<': column.Alignment = taLeftJustify; rest = rest.mid(1); break;
        case u'>': column.Alignment = taRightJustify; rest = rest.mid(1); break;
        case u'^': column.Alignment = taCenter; rest = rest.mid(1); break;
        default: break;
        }
    }
    if (!rest.isEmpty()) {
        bool ok = false;
        const double width = NumberLocale().toDouble(rest, &ok);
        if (ok && std::isfinite(width)) column.Width = width;
    }
    return column;
}

QString TCustomListPrint::NormalizeColumns(const QString& Layout, bool Convert) const {
    if (Layout.isEmpty()) return Layout;
    QStringList items;
    SplitAt(Layout, ColumnSeparator, items);
    QStringList out;
    out.reserve(items.size());
    for (const QString& item : items) {
        const TColumnSpec column = ParseColumnSpec(item);
        double width = column.Width;
        if (Convert) width = MeasureUnit_ == muMillimeters ? width * 25.4 : width / 25.4;
        out << AlignmentChar(column.Alignment) + FormatNumber(width);
    }
    return out.join(ColumnSeparator);
}

QString TCustomListPrint::ExpandMacros(const QString& Cell) const {
    QString r = ReplaceAll(QStringLiteral("{$LINE}"), QString::number(LineNumber_), Cell);
    r = ReplaceAll(QStringLiteral("{$PAGE}"), QString::number(PageNumber_), r);
    if (r.contains(QLatin1String("{$DATE}"))) r = ReplaceAll(QStringLiteral("{$DATE}"), ShortDate(), r);
    if (r.contains(QLatin1String("{$TIME}"))) r = ReplaceAll(QStringLiteral("{$TIME}"), LongTime(), r);
    const QString title = Device().Available ? PrintTitle_ : QString::fromLatin1(lpk::SUnknown);
    return ReplaceAll(QStringLiteral("{$TITLE}"), title, r);
}

void TCustomListPrint::WriteTableLine(const QString& Line) {
    QStringList items, cells;
    SplitAt(TableColumns_, ColumnSeparator, items);
    SplitAt(Line, ColumnSeparator, cells);
    const int columns = static_cast<int>(items.size());
    std::vector<TColumnSpec> columnItems;
    std::vector<int> widths;
    std::vector<QString> rest;
    columnItems.reserve(columns);
    for (int i = 0; i < columns; ++i) {
        columnItems.push_back(ParseColumnSpec(items[i]));
        widths.push_back(UnitsToDeviceX(std::fabs(columnItems.back().Width)));
        rest.push_back(i < cells.size() ? cells[i] : QString());  // extra cells are ignored
    }
    const int padding = (Device().DpiX / 300) * 6;
    bool topLine = TableGrids_;
    bool firstRow = true;
    for (;;) {
        bool another = false;
        if (NeedsPageBreak()) NewPage();
        X_ = BodyLeft();
        for (int i = 0; i < columns; ++i) {
            TColumnSpec& column = columnItems[i];
            bool grid = TableGrids_ && column.Width >= 0;
            int w = widths[i];
            QString cell = rest[i];
            if (cell.contains(QLatin1String("{$"))) cell = ExpandMacros(cell);
            if (firstRow && !HeaderMode_ && OnTableLineColumn) {
                TTableLineColumnInfo info{cell, DeviceToUnitsX(w), column.Alignment, grid};
                OnTableLineColumn(this, i + 1, info);
                cell = info.Text;
                grid = info.Grid;
                // The width is meant to be positive; a negative one is taken by its size, the
                // grid being the flag's business.
                const double width = std::fabs(info.Width);
                w = widths[i] = UnitsToDeviceX(width);
                column = TColumnSpec{info.Alignment, grid ? width : -width};
            }
            QString piece;
            if (WordWrap_) {
                QString remaining = cell;
                piece = SplitToFit(remaining, w, bbKeep);
                const qsizetype lf = piece.indexOf(QLatin1Char('\n'));
                if (lf >= 0) {
                    const QString after = piece.mid(lf + 1);
                    piece.truncate(lf);
                    if (piece.endsWith(QLatin1Char('\r'))) piece.chop(1);  // a CR LF line end
                    remaining = remaining.isEmpty() ? after : after + QLatin1Char(' ') + remaining;
                }
                rest[i] = remaining;
                if (!remaining.isEmpty()) another = true;
            } else {
                piece = FitText(cell, w);
                rest[i].clear();
            }
            const int pw = TextWidth(piece);
            int o = 0;
            switch (column.Alignment) {
            case taRightJustify: o = w - pw; break;
            case taCenter: o = w == 0 ? 0 : (w - pw) / 2; break;
            case taLeftJustify: o = 0; break;
            }
            if (pw < w - padding) {
                if (column.Alignment == taRightJustify) o -= padding;
                if (column.Alignment == taLeftJustify) o += padding;
            }
            if (ExportOpen_)
                ExportText(piece + QLatin1Char('\t'));
            else
                DrawTextAt(X_ + o, BodyTop() + Y_, piece);
            if (grid) DrawCellBox(X_, w, topLine, false);
            X_ += w;
        }
        topLine = false;
        firstRow = false;
        if (!another) break;
        NewLine();
    }
    if (TableGrids_) {
        X_ = BodyLeft();
        for (int i = 0; i < columns; ++i) {
            if (columnItems[i].Width >= 0) DrawCellBox(X_, widths[i], false, true);
            X_ += widths[i];
        }
    }
    if (!HeaderMode_ || ExportOpen_) NewLine();
}

void TCustomListPrint::DrawCellBox(int Left, int Width, bool TopLine, bool BottomLine) {
    if (ExportOpen_) return;
    const int lh = LineHeight();  // also brings the external leading up to date
    const int e = ExternalLeading_;
    int k = e;
    switch (LineSpacing_) {
    case 0: k = e / 2; break;
    case 2: k = static_cast<int>(RoundHalfEven(e * 1.5)); break;
    case 3: k = 2 * e; break;
    default: k = e; break;
    }
    const int y0 = BodyTop() + Y_ - k;
    const int penV = (Device().DpiY / 300) * 2;
    const int penH = (Device().DpiX / 300) * 2;
    if (TopLine) DrawPolyline(QPoint(Left, y0), QPoint(Left + Width, y0), penV);
    if (BottomLine) DrawPolyline(QPoint(Left, y0 + lh), QPoint(Left + Width, y0 + lh), penV);
    DrawPolyline(QPoint(Left, y0), QPoint(Left, y0 + lh), penH);
    DrawPolyline(QPoint(Left + Width, y0), QPoint(Left + Width, y0 + lh), penH);
}

void TCustomListPrint::ParseHeaderFooterFormat(const QString& Format, THeaderOrFooter Which) {
    QString line;
    bool armed = false;
    for (QChar c : Format) {
        if (!armed) {
            if (c == QLatin1Char('&'))
                armed = true;
            else
                line += c;
            continue;
        }
        armed = false;
        QString text;
        switch (c.unicode()) {
        case u'l':
        case u'c':
        case u'r':
            // A cell break; the letter says nothing about alignment, the layout item does.
            if (!line.isEmpty()) line += ColumnSeparator;
            continue;
        case u'&': text = QStringLiteral("&"); break;
        case u'd': text = ShortDate(); break;
        case u'D': text = LongDate(); break;
        case u't': text = ShortTime(); break;
        case u'T': text = LongTime(); break;
        case u'F': text = FileName_; break;
        case u'f': text = QFileInfo(FileName_).fileName(); break;
        case u'p': text = QStringLiteral("{$PAGE}"); break;
        case u'i': text = QStringLiteral("{$TITLE}"); break;
        default: text = QStringLiteral(" "); break;
        }
        line += text.isEmpty() ? QStringLiteral(" ") : text;
    }
    (Which == hfHeader ? HeaderLine_ : FooterLine_) = line;
}

void TCustomListPrint::BuildHeaderFooter() {
    const double w = PaperWidth() - MarginLeft_ - MarginRight_;
    SetHeaderColumns(QStringLiteral("<") + FormatNumber(w * 0.2) + QStringLiteral("|^") + FormatNumber(w * 0.6) +
                     QStringLiteral("|>") + FormatNumber(w * 0.2));
    enum TSlot : uint8_t { slLeft, slCenter, slRight };
    auto slot = [](int selector, TSlot where, const QString& text) -> QString {
        const QString code = where == slLeft ? QStringLiteral("&l") : where == slCenter ? QStringLiteral("&c") : QStringLiteral("&r");
        switch (selector) {
        case 0: return code + QLatin1Char(' ');
        case 1: return code + QStringLiteral("&d");
        case 2: return code + QLatin1Char(' ') + QString::fromLatin1(lpk::SPage) + QStringLiteral(" &p");
        case 3: return code + QStringLiteral("&t");
        case 4: return where == slCenter ? code + text : code + QLatin1Char(' ');
        default: return QString();
        }
    };
    SetHeaderFormat(slot(HLeft_, slLeft, HeaderText_) + slot(HCenter_, slCenter, HeaderText_) + slot(HRight_, slRight, HeaderText_));
    FooterColumns_ = HeaderColumns_;
    SetFooterFormat(slot(FLeft_, slLeft, FooterText_) + slot(FCenter_, slCenter, FooterText_) + slot(FRight_, slRight, FooterText_));
}

void TCustomListPrint::DrawHeaderFooter() {
    if (!HeaderLine_.isEmpty()) {
        SetFont(HeaderFont_);
        const int lh = LineHeight();
        // Centred between the paper's top edge and the top frame line, never above the
        // printable area (also when that band is lower than the header line).
        long long y = (static_cast<long long>(UnitsToDeviceY(MarginTop_ - PageBorderOffset_)) - lh) / 2 -
                      UnitsToDeviceY(MarginTop_);
        if (y < std::numeric_limits<int>::min() || y > std::numeric_limits<int>::max()) y = -100;
        if (BodyTop() + y < 0) y = -BodyTop();
        Y_ = static_cast<int>(y);
        TableColumns_ = HeaderColumns_;
        WordWrap_ = true;
        WriteTableLine(HeaderLine_);
    }
    if (!FooterLine_.isEmpty()) {
        SetFont(FooterFont_);
        const int lh = LineHeight();
        // Two footer lines below the body, but kept inside the printable area when the bottom
        // margin is too small for that.
        long long y = static_cast<long long>(BodyHeight()) + 2LL * lh;
        const long long printable = UnitsToDeviceY(PaperHeight() - 2 * OffsetY());
        if (BodyTop() + y + lh > printable) y = printable - lh - BodyTop();
        Y_ = static_cast<int>(y);
        TableColumns_ = FooterColumns_;
        WordWrap_ = true;
        WriteTableLine(FooterLine_);
    }
}

void TCustomListPrint::DrawFrame() {
    if (ExportOpen_ || PageBorders_.Bits() == 0) return;
    const int left = BodyLeft(), top = BodyTop(), width = BodyWidth(), height = BodyHeight();
    const int penV = (Device().DpiY / 300) * 2;
    const int penH = (Device().DpiX / 300) * 2;
    const int b = UnitsToDeviceY(PageBorderOffset_);
    const int d = UnitsToDeviceX(PageBorderOffset_);
    if (PageBorders_.Contains(pbTop))
        DrawPolyline(QPoint(left - b, top - b), QPoint(left + width + b, top - b), penV);
    if (PageBorders_.Contains(pbBottom))
        DrawPolyline(QPoint(left - b, top + height + b), QPoint(left + width + b, top + height + b), penV);
    if (PageBorders_.Contains(pbLeft))
        DrawPolyline(QPoint(left - d, top - d), QPoint(left - d, top + height + d), penH);
    if (PageBorders_.Contains(pbRight))
        DrawPolyline(QPoint(left + width + d, top - d), QPoint(left + width + d, top + height + d), penH);
}
