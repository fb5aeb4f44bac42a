#include "application.h"

#include "dialogs.h"
#include "printer.h"

#include <QFont>
#include <QFontDatabase>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // The window's designed fonts, as this platform has them.
    QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
    const QString sans = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), sans);
    QFont::insertSubstitution(QStringLiteral("Ms Sans Serif"), sans);
}

void SetDesignFamily(QFont& Font, const QString& Family) {
    const QString installed = ResolveFontFamily(Family);
    if (installed == Family || !QFontDatabase::hasFamily(installed))
        Font.setFamilies({Family});
    else
        Font.setFamilies({installed, Family});
}

QFont DesignFont(const QString& Family, int PointSize) {
    QFont font;
    SetDesignFamily(font, Family);
    font.setPointSize(PointSize);
    return font;
}

QString DesignFamily(const QFont& Font) {
    const QStringList families = Font.families();
    return families.isEmpty() ? Font.family() : families.last();
}

void ShowException(const std::exception& E) {
    Dialogs().MessageBox(QApplication::activeWindow(), QString::fromLocal8Bit(E.what()));
}

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
    try {
        return QApplication::notify(Receiver, Event);
    } catch (const std::exception& E) {
        ShowException(E);
    } catch (...) {
        Dialogs().MessageBox(QApplication::activeWindow(), QStringLiteral("Unknown error"));
    }
    return true;
}
