#include "ui/textfit.h"

#include <QLabel>
#include <QLayout>

namespace {

// The smallest font a fitted text is drawn with, and the room kept clear at a button's edges.
const int smallestPixelSize = 9;
const int buttonEdge = 10;

int neededWidth(QLabel *label)
{
    // The style sheet decides the font; it takes effect when the label is polished.
    label->ensurePolished();
    return label->sizeHint().width();
}

bool inLayout(const QLabel *label)
{
    const QLayout *layout = label->parentWidget() ? label->parentWidget()->layout() : nullptr;
    return layout && layout->indexOf(const_cast<QLabel *>(label)) >= 0;
}

void shrinkToFit(QLabel *label)
{
    // A later declaration of the same style sheet overrides the form's font size.
    label->ensurePolished();
    const QString sheet = label->styleSheet();
    for (int size = label->fontInfo().pixelSize() - 1;
         size >= smallestPixelSize && neededWidth(label) > label->width(); --size)
        label->setStyleSheet(sheet + QStringLiteral("\nfont-size:%1px;").arg(size));
}

void fitCaption(QLabel *caption, QLabel *arrow)
{
    const int needed = neededWidth(caption);
    if (needed <= caption->width())
        return;
    const int button = caption->parentWidget()->width();
    const int gap = arrow->x() - (caption->x() + caption->width());
    caption->resize(qMin(needed, button - 2 * buttonEdge - gap - arrow->width()),
                    caption->height());
    shrinkToFit(caption);
    caption->resize(qMin(neededWidth(caption), caption->width()), caption->height());
    const int left = (button - caption->width() - gap - arrow->width()) / 2;
    caption->move(left, caption->y());
    arrow->move(left + caption->width() + gap, arrow->y());
}

} // namespace

void TextFit::fitWindow(QWidget *window, const QList<QPair<QLabel *, QLabel *>> &captions)
{
    QList<QLabel *> done;
    for (const auto &[caption, arrow] : captions) {
        fitCaption(caption, arrow);
        done << caption << arrow;
    }
    const QList<QLabel *> labels = window->findChildren<QLabel *>();
    for (QLabel *label : labels) {
        // A layout gives its labels the width their texts need.
        if (!label->text().isEmpty() && !done.contains(label) && !inLayout(label))
            shrinkToFit(label);
    }
}
