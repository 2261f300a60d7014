// console.cpp: placeholder: a key is any byte on standard input, checked with poll.
#include <poll.h>
#include <unistd.h>

#include "console.h"

void console_open() {}

int console_key_waiting()
{
    pollfd p = {0, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

int console_read_key()
{
    unsigned char c = 0;
    return read(0, &c, 1) == 1 ? c : -1;
}

void console_close() {}
