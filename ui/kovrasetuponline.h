#pragma once

#include <QWidget>

class kovraSetupOnline : public QWidget
{
    Q_OBJECT

public:
    explicit kovraSetupOnline(QWidget *parent = nullptr);

    void setChannel(QString argument);
};
