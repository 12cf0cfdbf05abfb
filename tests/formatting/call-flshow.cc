// call-flshow: for each line "FRACTION x n", "PRINTFL x n" or "PRINT x before after", that
// routine, with x read as a single precision real.
#include "tests/formatting/caller.h"

extern "C" void FRACTION(float x, int n);
extern "C" void PRINTFL(float x, int n);
extern "C" void PRINT(float x, int before, int after);

static bool call(int count, char **word)
{
    if (count == 3 && std::strcmp(word[0], "FRACTION") == 0)
        FRACTION(arg_float(word[1]), arg_int(word[2]));
    else if (count == 3 && std::strcmp(word[0], "PRINTFL") == 0)
        PRINTFL(arg_float(word[1]), arg_int(word[2]));
    else if (count == 4 && std::strcmp(word[0], "PRINT") == 0)
        PRINT(arg_float(word[1]), arg_int(word[2]), arg_int(word[3]));
    else
        return false;
    return true;
}

int main(int argc, char **argv) { return run_caller(argc, argv, call); }
