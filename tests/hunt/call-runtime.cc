// call-runtime: the kel runtime's number entry points, called straight, one per line:
// "write V P", "writeint V P", "itos V P", "printfl X P" (X a long real) and "rtos X P"
// (X a real, one position before the point), as the formatting modules pass them on.
#include "tests/formatting/caller.h"

static bool call(int count, char **word)
{
    if (count != 3)
        return false;
    const char *name = word[0], *x = word[1];
    int places = arg_int(word[2]);
    if (std::strcmp(name, "write") == 0)
        _kel_write(arg_int(x), places);
    else if (std::strcmp(name, "writeint") == 0)
        _kel_writeint(arg_int(x), places);
    else if (std::strcmp(name, "itos") == 0)
        _kel_printstring(_kel_itos(arg_int(x), places));
    else if (std::strcmp(name, "printfl") == 0)
        _kel_printfl(arg_double(x), places);
    else if (std::strcmp(name, "rtos") == 0)
        _kel_printstring(rtos(arg_float(x), 1, places));
    else
        return false;
    return true;
}

int main(int argc, char **argv) { return run_caller(argc, argv, call); }
