#include "AppFont.h"

#include <QApplication>
#include <QFont>
#include <QStringList>

// The window is a fixed 800 x 480 pixels, laid out for Windows' 9-point UI
// font (12 px at 96 dpi, with compact line spacing). Linux's usual choices
// are taller per pixel: Noto Sans CJK's line spacing is 1.45 em against
// DejaVu Sans's 1.16 em, and the fixed window then overflows. DejaVu Sans
// at 11 px gives the lines the height the layout has room for; the Chinese
// texts come from Noto Sans CJK SC (simplified forms, not the JP/KR variants
// that fontconfig may pick on its own). Pixels, not points: the window does
// not grow with the screen's dpi, so neither may its font.
void applyApplicationFont()
{
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Sans CJK SC")});
    font.setPixelSize(11);
    QApplication::setFont(font);
}
