// Divisor checks made visible for test builds: each call of the runtime library's check is
// shown on standard error, with its divisor and line, before the check itself is made.
// Linked with --wrap=_kel_zcheck_int in front of the library's check.
#include <cstdio>

#include "runtime/kel.h"

extern "C" int __real__kel_zcheck_int(int divisor, const char *name);

extern "C" int __wrap__kel_zcheck_int(int divisor, const char *name)
{
    std::fprintf(stderr, "divisor check %s: %d at line %d\n", name, divisor, _kel_current_line);
    return __real__kel_zcheck_int(divisor, name);
}
