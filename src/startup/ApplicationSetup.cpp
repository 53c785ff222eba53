#include "ApplicationSetup.h"

#include "StartupConstants.h"

#include <QApplication>
#include <QFont>

namespace startup {

namespace {

QFont applicationFont()
{
    QFont font(FontFamily, -1, -1, false); // platform default size and weight
    font.setStyleHint(QFont::SansSerif, QFont::PreferDefault);
    return font;
}

QString applicationStyleSheet()
{
    QStringList rules;
    for (const QString &widgetClass : StyledWidgetClasses)
        rules.append(QStringLiteral("%1 { %2 }").arg(widgetClass, FontFamilyDeclaration));
    return rules.join(QLatin1Char('\n'));
}

} // namespace

void applyApplicationLook(QApplication &application)
{
    QApplication::setFont(applicationFont());
    application.setStyleSheet(applicationStyleSheet());
}

} // namespace startup
