// fatal_exit.cpp: the program's single way out after a failure, shared by start-up and
// texture loading.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "driver/fatal_exit.h"
#include "gfx/gfx.h"

void fatal_exit(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    grGlideShutdown();
    std::exit(-1);
}
