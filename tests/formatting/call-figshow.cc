// call-figshow: figshow's PRINT for each line "x n".
#include "tests/formatting/caller.h"

extern "C" void PRINT(double x, int n);

static bool call(int count, char **word)
{
    if (count != 2)
        return false;
    PRINT(arg_double(word[0]), arg_int(word[1]));
    return true;
}

int main(int argc, char **argv) { return run_caller(argc, argv, call); }
