// The divisor check made before every integer division.
#include "kelrt/internal.h"

int _kel_zcheck_int(int divisor, const char *name)
{
    if (divisor == 0)
        kel_raise(KEL_EVENT_DIVIDE, 1, 0, "division by zero: divisor %s", name ? name : "?");
    return divisor;
}
