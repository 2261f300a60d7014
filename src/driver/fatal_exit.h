// fatal_exit.h: the one failure path once the library is started.
#pragma once

// The message (printf-style) on standard error, one grGlideShutdown, exit status -1.
[[noreturn]] void fatal_exit(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
