#ifndef APPFONT_H
#define APPFONT_H

// Sets the application-wide font that the fixed 800 x 480 layout is drawn
// for. Call once, after the QApplication exists and before any window.
void applyApplicationFont();

#endif // APPFONT_H
