#pragma once
// Applies the program's keyboard rule to every key event of the application.

#include <QObject>

#include "app/keyboard_rule.h"

class CKeyboardFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CKeyboardRule m_rule;
};
