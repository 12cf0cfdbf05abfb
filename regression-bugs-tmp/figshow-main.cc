// figshow: the program around the significant-figure print routine; it only starts the runtime.
#define KEL_SOURCE "regression-bugs-tmp/figshow"
#include "runtime/frame.h"

int main(int argc, char **argv)
{
    _kel_initialise(argc, argv);
    kel_at(31);
    return 0;
}
