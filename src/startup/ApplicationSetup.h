#pragma once

class QApplication;

namespace startup {

// Gives every widget of the updater the same font family, through the application font and an
// application style sheet (style sheets of single widgets would otherwise fall back to the default).
void applyApplicationLook(QApplication &application);

} // namespace startup
