#include "ui/greenstylesheets.h"

// The runs of blanks and the ";" after the hover rule are part of the text the buttons carry.
const QString g_greenActionButtonStyleSheet =
    QStringLiteral("QWidget{background:rgba(33, 173, 54, 1);border-radius:4px;}"
                   "                                 "
                   "QWidget:hover{background:#0EBE28};"
                   "                                 "
                   "QWidget:disabled{background:rgba(206,206,206,1);}");

const QString g_greenBrowseButtonStyleSheet =
    QStringLiteral("QPushButton{border-radius:4px;background: #21AD36;font-size:12px;"
                   "font-family:Microsoft YaHei;font-weight:400;color:rgba(255,255,255,1);"
                   "line-height:161px;border-top-left-radius:4px;border-bottom-left-radius:4px;}") +
    QStringLiteral("QPushButton:hover{background: #0EBE28;}") +
    QStringLiteral("QPushButton:pressed{background:#1B9F2F;}") +
    QStringLiteral("QPushButton:disabled{background:rgba(206,206,206,1);}");
