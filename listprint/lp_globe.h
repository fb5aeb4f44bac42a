#pragma once
// What every list-print unit shares: the enumerations, the table-cell record handed to
// OnTableLineColumn, the page list, the kernel's exceptions and the small text and drawing
// helpers.
#include "exception.h"
#include "page_picture.h"
#include "printer.h"

#include <QColor>
#include <QRect>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

class QPainter;

enum TMeasureUnit : uint8_t { muInches, muMillimeters };
enum TPageBorder : uint8_t { pbTop, pbBottom, pbLeft, pbRight };
enum TZoomLocation : uint8_t { zlTopLeft, zlTopCenter, zlCenter };
enum TAlignment : uint8_t { taLeftJustify, taRightJustify, taCenter };

// A set of page borders: bit 0 top, bit 1 bottom, bit 2 left, bit 3 right.
class TPageBorders {
public:
    constexpr TPageBorders() = default;
    constexpr TPageBorders(std::initializer_list<TPageBorder> Sides) {
        for (TPageBorder s : Sides) Bits_ |= static_cast<uint8_t>(1u << s);
    }
    static constexpr TPageBorders FromBits(uint8_t Bits) {
        TPageBorders b;
        b.Bits_ = Bits & 0x0F;
        return b;
    }
    constexpr bool Contains(TPageBorder Side) const { return (Bits_ >> Side) & 1u; }
    constexpr uint8_t Bits() const { return Bits_; }
    constexpr bool operator==(const TPageBorders&) const = default;

private:
    uint8_t Bits_ = 0;
};

// One cell of the first row of a table line, as OnTableLineColumn sees and may change it.
struct TTableLineColumnInfo {
    QString Text;
    double Width = 0;  // in the current measure unit, positive
    TAlignment Alignment = taLeftJustify;
    bool Grid = false;
};

// The generated pages in order; page k (1-based) is item k - 1. The list owns its pictures.
using TPageList = std::vector<std::unique_ptr<TPagePicture>>;

// Every refusal of the list-print kernel.
class EPagePrinter : public EPrinter {
public:
    using EPrinter::EPrinter;
};

// Unwinds a page generation or print job that the user stopped.
class ECancelPrinting : public EPagePrinter {
public:
    ECancelPrinting();
};

// A failure to open, write or close the text export file.
class EInOutError : public Exception {
public:
    using Exception::Exception;
};

// Rounds to the nearest integer, ties to even.
double RoundHalfEven(double Value);

QString ReplaceAll(const QString& Pattern, const QString& Replacement, const QString& Source);
// Clears List and fills it with the pieces between the separators; the last piece is always
// added (an empty text gives one empty item).
void SplitAt(const QString& Text, QChar Separator, QStringList& List);
// The text up to and including its last blank or control character; the whole text when it has
// none or when that character is the last one.
QString CutAtLastBlank(const QString& Text);
QString ExpandTabs(const QString& Text, int TabSize);
// The length of the longest prefix of Text no longer than Length that ends between two
// characters as the reader sees them (never inside a surrogate pair, never before a combining
// mark); at least the first such character, so never 0 for a text that is not empty.
qsizetype CharacterBoundaryAtOrBefore(const QString& Text, qsizetype Length);
// Text is at most one character as the reader sees it.
inline bool OneCharacter(const QString& Text) {
    return Text.size() <= 1 || CharacterBoundaryAtOrBefore(Text, Text.size() - 1) == Text.size();
}
QString Spaces(int Count);
QString AlignmentChar(TAlignment Alignment);
inline int Min(int A, int B) { return A < B ? A : B; }
// The largest font size printed, in points (a 1638-point line is already taller than a sheet);
// a larger one is printed at this size, so no line height overflows.
inline constexpr int MaxFontPoints = 1638;

enum TGradientDirection : uint8_t { gdHorizontal, gdVertical };
// Fills Rect with one-pixel bands from First to Second (band 0 First, the last band Second).
void GradientFill(QPainter& Canvas, QRect Rect, QColor First, QColor Second, TGradientDirection Direction);

// Texts shown or raised by the kernel.
namespace lpk {
inline constexpr const char* SMarginTopPrinting = "Unable to change top margin while printing";
inline constexpr const char* SMarginBottomPrinting = "Unable to change bottom margin while printing";
inline constexpr const char* SMarginLeftPrinting = "Unable to change left margin while printing";
inline constexpr const char* SMarginRightPrinting = "Unable to change right margin while printing";
inline constexpr const char* SOrientationPrinting = "Sending Pages To Printer";
inline constexpr const char* SPrintToFilePrinting = "Can't change PrintToFile while printing";
inline constexpr const char* SFileNamePrinting = "Can't change FileName while printing";
inline constexpr const char* SClearPrinting = "Can't clear contents while printing";
inline constexpr const char* SPageNumberRange = "PageNumber must be between 1 and %d";
inline constexpr const char* SPrintingCancelled = "Printing cancelled";
inline constexpr const char* SContentExported = "Content exported to %s";
inline constexpr const char* SRegenerating = "Regenerating Preview";
inline constexpr const char* SSendingToPrinter = "Sending to printer";
inline constexpr const char* SPagePrefix = "Page ";
inline constexpr const char* SOf = " of ";
inline constexpr const char* SCopies = " Copies";
inline constexpr const char* SPage = "Page";
inline constexpr const char* SUnknown = "<Unknown>";
inline constexpr const char* SFinish = "<FINISH>";
inline constexpr const char* STooManyPages = "To many pages created";
inline constexpr const char* STooLongLines = "To long lines in process";
}  // namespace lpk
