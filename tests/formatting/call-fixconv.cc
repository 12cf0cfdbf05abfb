// call-fixconv: fixconv for each line "value places", the value read as a single precision real.
#include "tests/formatting/caller.h"

extern "C" kel_string fixconv(float value, int places);

static bool call(int count, char **word)
{
    if (count != 2)
        return false;
    _kel_printstring(fixconv(arg_float(word[0]), arg_int(word[1])));
    return true;
}

int main(int argc, char **argv) { return run_caller(argc, argv, call); }
