#include "AppFont.h"

// Windows' own 9-point UI font is the one the layout was drawn with: keep it.
void applyApplicationFont()
{
}
