// The recorder.  (Being written.)
#include "ui/form1.h"

void Form1::Bot_Rec() {}
void Form1::Bot_Stop() {}
void Form1::Bot_Play() {}
void Form1::Bot_Save() {}
void Form1::Rec_StopSave() {}
