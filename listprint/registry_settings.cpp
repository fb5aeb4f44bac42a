#include "registry_settings.h"

#include "list_print.h"
#include "registry.h"

#include <QLocale>

#include <cmath>

namespace {

bool ReadExportGroup = true;

const QString DefaultKey = QStringLiteral("Software\\Quintor\\ListPrint");

// Reads values of the "Setup" subkey; a missing subkey or value gives the default.
class TSetupReader {
public:
    explicit TSetupReader(const QString& Key) : Setup_(Key + QStringLiteral("\\Setup")) {}

    QString Text(const QByteArray& Name, const QString& Default) {
        TRegistry reg;
        if (!reg.OpenKey(Setup_, false)) return Default;
        const QString name = QString::fromLatin1(Name);
        return reg.ValueExists(name) ? reg.ReadString(name) : Default;
    }
    int Integer(const QByteArray& Name, int Default) {
        bool ok = false;
        const int v = Text(Name, QString::number(Default)).trimmed().toInt(&ok, 10);
        return ok ? v : Default;
    }
    bool Boolean(const QByteArray& Name, bool Default) { return Integer(Name, Default ? 1 : 0) != 0; }
    // A length in the stored unit; a text that is no finite number within MaxLength ("nan",
    // "inf", "1e300" are none) stops the load like any other text that is no number.
    double Number(const QByteArray& Name, const QString& Default) {
        const QString text = Text(Name, Default).trimmed();
        bool ok = false;
        double v = QLocale::c().toDouble(text, &ok);
        if (!ok) v = QLocale().toDouble(text, &ok);
        if (!ok || !std::isfinite(v) || std::abs(v) > MaxLength)
            throw Exception(QStringLiteral("'%1' is not a valid floating point value").arg(text).toStdString());
        return v;
    }
    // Far beyond any sheet in either unit, and small enough that no pixel computation overflows.
    static constexpr double MaxLength = 100000;

private:
    QString Setup_;
};

// A stored font is applied a value at a time (name, size, style), so a load that stops at one of
// them keeps those read before it. A size of 0 or below, or above MaxFontPoints, is no size: it
// gives the value's default like a text that is no number.
using TFontAccess = std::pair<QFont (TCustomListPrint::*)() const, void (TCustomListPrint::*)(const QFont&)>;

void ApplyFontValues(TCustomListPrint& C, TSetupReader& R, TFontAccess Font, const char* Prefix, int DefaultSize,
                     int DefaultStyle) {
    auto apply = [&](auto change) {
        QFont f = (C.*Font.first)();
        change(f);
        (C.*Font.second)(f);
    };
    const QByteArray prefix(Prefix);
    const QString name = R.Text(prefix + "FName", QStringLiteral("Arial"));
    apply([&](QFont& f) { f.setFamily(name); });
    const int size = R.Integer(prefix + "FSize", DefaultSize);
    apply([&](QFont& f) { f.setPointSize(size > 0 && size <= MaxFontPoints ? size : DefaultSize); });
    // Style codes: 1 bold, 2 underline, 3 both; anything else regular.
    const int style = R.Integer(prefix + "FStyle", DefaultStyle);
    apply([&](QFont& f) {
        f.setBold(style == 1 || style == 3);
        f.setUnderline(style == 2 || style == 3);
        f.setItalic(false);
        f.setStrikeOut(false);
    });
}

// The stored border mask: 1 left, 2 top, 4 right, 8 bottom.
TPageBorders BordersFromMask(int Mask) {
    TPageBorders b;
    std::initializer_list<std::pair<int, TPageBorder>> sides = {
        {1, pbLeft}, {2, pbTop}, {4, pbRight}, {8, pbBottom}};
    uint8_t bits = 0;
    for (auto [bit, side] : sides)
        if (Mask & bit) bits |= static_cast<uint8_t>(1u << side);
    return TPageBorders::FromBits(bits);
}

}  // namespace

void SetReadRegistryExportGroup(bool Value) { ReadExportGroup = Value; }

void LoadRegistrySettings(TCustomListPrint& C) {
    if (!C.UseRegistry()) {
        C.SetHLeft(0);
        C.SetHCenter(4);
        C.SetHRight(0);
        C.SetFLeft(1);
        C.SetFCenter(4);
        C.SetFRight(2);
        return;
    }
    if (C.RegistryKey().isEmpty()) C.SetRegistryKey(DefaultKey);
    TRegistry key;
    key.OpenKey(C.RegistryKey(), true);
    TSetupReader r(C.RegistryKey());

    const QString title = r.Text("Title", QStringLiteral("List printout"));
    if (C.PrintTitle().isEmpty()) C.SetPrintTitle(title);
    const QString header = r.Text("Header", QStringLiteral("Define -Header- text under \"Settings\""));
    if (C.HeaderText().isEmpty()) C.SetHeaderText(header);
    ApplyFontValues(C, r, {&TCustomListPrint::HeaderFont, &TCustomListPrint::SetHeaderFont}, "H", 10, 1);
    ApplyFontValues(C, r, {&TCustomListPrint::Font, &TCustomListPrint::SetFont}, "B", 9, 0);
    const QString footer = r.Text("Footer", QStringLiteral("Define Footer text under \"Settings\""));
    if (C.FooterText().isEmpty()) C.SetFooterText(footer);
    ApplyFontValues(C, r, {&TCustomListPrint::FooterFont, &TCustomListPrint::SetFooterFont}, "F", 8, 0);
    C.SetTableGrids(r.Boolean("TableGrids", true));
    C.SetFitPrintToPage(r.Boolean("FitPrintToPage", true));
    C.SetPrintWYSIWYG(r.Boolean("PrintWYSIWYG", true));
    C.SetOrientation(r.Boolean("Portrait", true) ? poPortrait : poLandscape);
    C.SetMeasureUnit(r.Boolean("MeasureUnit", false) ? muInches : muMillimeters);
    C.SetMarginBottom(r.Number("MarginBottom", QStringLiteral("25")));
    C.SetMarginLeft(r.Number("MarginLeft", QStringLiteral("25")));
    C.SetMarginRight(r.Number("MarginRight", QStringLiteral("25")));
    C.SetMarginTop(r.Number("MarginTop", QStringLiteral("25")));
    C.SetZoomPercent(r.Integer("ZoomProcent", 35));
    C.SetPageBorders(BordersFromMask(r.Integer("PageBorders", 10)));
    C.SetHLeft(r.Integer("HLeft", 0));
    C.SetHCenter(r.Integer("HCenter", 4));
    C.SetHRight(r.Integer("HRight", 0));
    C.SetFLeft(r.Integer("FLeft", 1));
    C.SetFCenter(r.Integer("FCenter", 4));
    C.SetFRight(r.Integer("FRight", 2));
    C.SetFitPrintToPage(r.Boolean("FitPrintToPage", true));
    C.SetPrintWYSIWYG(r.Boolean("PrintWYSIWYG", true));
    C.SetWordWrap(r.Boolean("WordWrap", false));
    if (ReadExportGroup) {
        C.SetFileName(r.Text("WSFileName", QStringLiteral("ListPrint.TXT")));
        r.Number("DDEPause", QStringLiteral("0"));
        r.Boolean("SaveDDEVal", false);
        C.SetPrintToFile(r.Integer("PrintToFile", 0) == 1);
    }
}
