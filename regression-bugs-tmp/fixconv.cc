// fixconv: a single precision real as text in exponent form: the runtime's fixed-point mantissa, "@", exponent.
#define KEL_SOURCE "regression-bugs-tmp/fixconv"
#include <cmath>

#include "runtime/arith.h"
#include "runtime/frame.h"
#include "runtime/kelstring.h"

static const kel_string exponent_marker = kel_lit("@");
static const kel_string infinity_text = kel_lit(" Inf");
static const kel_string minus_infinity_text = kel_lit("-Inf");
static const kel_string nan_text = kel_lit(" NaN");

// The value is scaled into the range whose rtos text has one digit before the point: the
// thresholds are 1 and 10 less the half step 0.5 to the power places, where rtos rounds up.
extern "C" kel_string fixconv(float value, int places)
{
    int exponent, negative;
    float half, threshold;
    kel_string text, result;
    kel_at(3);
    kel_at(4);
    exponent = -99;
    kel_at(4);
    negative = 0;
    kel_at(5);
    text = kel_string{};
    kel_at(7);
    // Neither scaling loop would end for an infinity or a NaN.
    if (!std::isfinite(value))
        return std::isnan(value) ? nan_text : value < 0 ? minus_infinity_text : infinity_text;
    if (value != 0) {
        kel_at(8);
        if (!(value >= 0)) {
            value = -value;
            negative = 1;
        }
        kel_at(10);
        exponent = 0;
        kel_at(10);
        half = static_cast<float>(_kel_REXP(0.5, places));
        kel_at(11);
        threshold = 1 - half;
        kel_at(12);
        if (value < threshold) {
            kel_at(13);
            do {
                exponent = exponent - 1;
                value = value * 10.0f;
            } while (!(value >= threshold));
            kel_at(14);
        } else {
            kel_at(15);
            threshold = 10 - half;
            kel_at(16);
            // For places of -4 or below the threshold is at or below zero and no division
            // could pass it: such values keep the exponent 0.
            while (threshold > 0 && !(threshold > value)) {
                kel_at(17);
                exponent = exponent + 1;
                kel_at(17);
                value = value / 10.0f;
                kel_at(18);
            }
            kel_at(19);
        }
        kel_at(20);
        if (negative == 1)
            value = -value;
        kel_at(21);
    }
    kel_at(22);
    text = rtos(value, 1, places);
    kel_at(23);
    result = _kel_join(_kel_join(text, exponent_marker), _kel_ITOS(exponent, 0));
    kel_at(24);
    return result;
}
