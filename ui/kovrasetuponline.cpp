#include "ui/kovrasetuponline.h"

kovraSetupOnline::kovraSetupOnline(QWidget *parent)
    : QWidget(parent)
{
}

void kovraSetupOnline::setChannel(QString argument)
{
    Q_UNUSED(argument)
}
