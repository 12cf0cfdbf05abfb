// call-padform: TORVK77WRITE for each line "value places".
#include "tests/formatting/caller.h"

extern "C" void TORVK77WRITE(int value, int places);

static bool call(int count, char **word)
{
    if (count != 2)
        return false;
    TORVK77WRITE(arg_int(word[0]), arg_int(word[1]));
    return true;
}

int main(int argc, char **argv) { return run_caller(argc, argv, call); }
