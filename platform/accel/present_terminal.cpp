// present_terminal.cpp: frames in the terminal. Not built yet: never available.
#include "present.h"

bool terminal_available() { return false; }
bool terminal_open(Display *, int) { return false; }
void terminal_show(Display *, const uint32_t *, double) {}
void terminal_close(Display *) {}
