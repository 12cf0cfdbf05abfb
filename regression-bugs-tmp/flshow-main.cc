// flshow: the program around the floating print routines; it only starts the runtime.
#define KEL_SOURCE "regression-bugs-tmp/flshow"
#include "runtime/frame.h"

int main(int argc, char **argv)
{
    _kel_initialise(argc, argv);
    kel_at(44);
    return 0;
}
