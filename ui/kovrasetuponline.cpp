#include "ui/kovrasetuponline.h"

kovraSetupOnline::kovraSetupOnline(QWidget *parent)
    : QWidget(parent)
{
    setWindowTitle(QStringLiteral("kovraSetupOnline"));
}

void kovraSetupOnline::setChannel(QString argument)
{
    Q_UNUSED(argument)
}
