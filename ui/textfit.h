#pragma once

#include <QList>
#include <QPair>

class QLabel;
class QWidget;

// The form was laid out for the Chinese texts; longer ones (the English catalogue's, a wider
// font's) would be cut at the label's edge. Fitted, they use the room their button gives them
// and, where that is not enough, a smaller font.
namespace TextFit {

// Fits every text label of the window that no layout sizes. A button's caption (paired with its
// arrow) that needs more than its label takes the button's width: caption and arrow side by
// side in the middle. A text still too wide is drawn smaller until it fits.
void fitWindow(QWidget *window, const QList<QPair<QLabel *, QLabel *>> &captions);

} // namespace TextFit
