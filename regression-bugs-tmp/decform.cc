// decform: DECFORMFL prints a long real in the VAX floating layout (sign, digit, fraction, "@", exponent).
#define KEL_SOURCE "regression-bugs-tmp/decform"
#include <cmath>

#include "runtime/arith.h"
#include "runtime/frame.h"
#include "runtime/io.h"
#include "runtime/kelstring.h"

static const kel_string point = kel_lit(".");
static const kel_string exponent_marker = kel_lit("@");
static const kel_string infinity_text = kel_lit("Inf");
static const kel_string nan_text = kel_lit("NaN");

// Unlike the floor-based shim, a negative difference is brought back into [0, 1).
static double FRACPT(double value)
{
    kel_at(5);
    kel_at(6);
    double r = value - _kel_INTPT(value);
    kel_at(7);
    if (r < 0)
        r = r + 1;
    kel_at(8);
    return r;
}

// Appends the point and the fraction digits, truncated: ROUND has already rounded.
static void FRACTION(double value, int places, kel_string &text)
{
    kel_at(4);
    kel_at(10);
    if (places <= 0)
        return;
    kel_at(11);
    text = _kel_join(text, point);
    kel_at(12);
    while (places > 0) {
        kel_at(13);
        places = places - 1;
        kel_at(14);
        value = FRACPT(value) * 10.0;
        kel_at(15);
        text = _kel_join(text, _kel_TOSTRING(_kel_INTPT(value) + 48));
        kel_at(16);
    }
    kel_at(17);
}

// Adds half a unit of the last place, made by repeated division by 10; the digits are
// truncated afterwards, so halves round away from zero.
static void ROUND(double &value, int places)
{
    kel_at(19);
    kel_at(20);
    if (value == 0)
        return;
    kel_at(21);
    double half = value >= 0 ? 0.5 : -0.5;
    kel_at(22);
    for (;;) {
        kel_at(23);
        places = places - 1;
        kel_at(24);
        if (places < 0)
            break;
        kel_at(25);
        kel_at(26);
        half = half / 10.0;
    }
    kel_at(27);
    value = value + half;
    kel_at(28);
}

static kel_string FTOS(double value, int places)
{
    kel_string text;
    int sign, exponent;
    kel_at(3);
    kel_at(18);
    kel_at(29);
    text = kel_string{};
    kel_at(30);
    kel_at(31);
    if (places > 7)
        places = 7;
    kel_at(32);
    if (value >= 0) {
        sign = 32;
    } else {
        sign = 45;
        value = -value;
    }
    kel_at(33);
    // Neither normalising loop would end: an infinity stays at least 10, a NaN fails
    // the test that ends the division loop. A NaN has no sign to show.
    if (!std::isfinite(value))
        return _kel_join(_kel_TOSTRING(std::isnan(value) ? 32 : sign),
                         std::isnan(value) ? nan_text : infinity_text);
    if (value == 0) {
        kel_at(34);
        exponent = -99;
        kel_at(35);
    } else {
        kel_at(36);
        exponent = 0;
        kel_at(37);
        while (value >= 10.0) {
            exponent = exponent + 1;
            value = value / 10.0;
        }
        kel_at(38);
        while (value < 1.0) {
            exponent = exponent - 1;
            value = value * 10.0;
        }
        kel_at(39);
    }
    kel_at(40);
    ROUND(value, places);
    kel_at(41);
    if (value >= 10.0) {
        exponent = exponent + 1;
        value = value / 10.0;
    }
    kel_at(42);
    text = _kel_join(text, _kel_TOSTRING(_kel_INTPT(value) + 48));
    kel_at(43);
    FRACTION(value, places, text);
    kel_at(44);
    return _kel_join(_kel_join(_kel_join(_kel_TOSTRING(sign), text), exponent_marker),
                     _kel_ITOS(exponent, 0));
}

extern "C" void DECFORMFL(double value, int places)
{
    kel_at(2);
    kel_at(46);
    if (places < 0)
        places = ~places;
    kel_at(47);
    _kel_SPACES(places - 62);
    kel_at(48);
    _kel_PRINTSTRING(FTOS(value, places));
    kel_at(49);
}
