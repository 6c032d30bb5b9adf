// Shutdown.  (Being written.)
#include "ui/form1.h"

void Form1::Form_QueryUnload(Integer&, Integer&) {}
void Form1::Form_Unload(Integer&) {}
