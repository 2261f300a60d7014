// present_window.cpp: frames in a desktop window. Not built yet: no desktop is reachable.
#include "present.h"

bool window_available() { return false; }
bool window_open(Display *, int) { return false; }
void window_show(Display *, const uint32_t *, double) {}
void window_close(Display *) {}
