// rootcubes: the TPK algorithm over eleven values, in reverse order, with results over 400 replaced.
#define KEL_SOURCE "regression-bugs-tmp/rootcubes"
#include <cmath>

#include "runtime/arith.h"
#include "runtime/frame.h"
#include "runtime/observe.h"

// Values that take every branch: kept, replaced, NaN, the bound's neighbourhood, overflow.
static float input[11] = {0.0f, 4.0f, 5.0f, -3.0f, NAN, 1.0f, 2.5f, -0.0f, 4.3f, -1e30f, 3.0f};
static float result[11][2];

static float F(float t)
{
    kel_at(9);
    double root = _kel_SQRT(_kel_MOD(t));
    return static_cast<float>(root + 5.0 * _kel_REXP(t, 3.0));
}

static void TPK(float (&in)[11], float (&out)[11][2])
{
    kel_at(8);
    kel_at(11);
    kel_at(12);
    kel_at(13);
    for (int i = 10; i >= 0; i--) {
        kel_at(14);
        float y = F(in[i]);
        kel_at(15);
        if (!(y <= 400.0f)) {
            kel_at(16);
            y = 999.0f;
        }
        kel_at(17);
        out[10 - i][0] = static_cast<float>(i);
        kel_at(18);
        out[10 - i][1] = y;
    }
    kel_at(19);
}

int main(int argc, char **argv)
{
    _kel_initialise(argc, argv);
    kel_at(4);
    kel_expose("input", 'f', input, 11);
    kel_at(21);
    TPK(input, result);
    kel_at(23);
    kel_expose("result", 'f', result, 22);
    kel_at(25);
    return 0;
}
