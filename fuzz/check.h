// check.h: how a fuzz target reports a broken promise of the code under test: one line
// naming it, then an abort, which the fuzzer (or tests/faults, replaying) reports.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}
