#pragma once

#include <QString>

// Style sheets of the alternative brand, built once when the program loads. The window puts them
// in place of the blue ones on the three action buttons and the browse button.
extern const QString g_greenActionButtonStyleSheet;
extern const QString g_greenBrowseButtonStyleSheet;
