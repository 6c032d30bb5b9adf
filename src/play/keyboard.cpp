// The keyboard map.  (Being written: the full map and the key translation.)
#include <QKeyEvent>

#include "app/module1.h"
#include "ui/form1.h"

int KeyInput::VirtualKey(const QKeyEvent&) { return 0; }
void Form1::keyEvent(QKeyEvent*) {}
void Form1::Form_KeyDown(Integer&, Integer&) {}
void Form1::Form_KeyUp(Integer&, Integer&) {}
