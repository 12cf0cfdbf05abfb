// intcol: INTCOL writes a 32-bit integer right-aligned in the VAX integer column layout.
#define KEL_SOURCE "regression-bugs-tmp/intcol"
#include "runtime/frame.h"
#include "runtime/io.h"
#include "runtime/kelstring.h"

// The digits of 2147483648, least significant first: the magnitude of the most negative
// value, which no 32-bit integer holds.
static const kel_string most_negative_digits = kel_lit("8463847412");

static kel_string ITOS(int value, int places)
{
    unsigned char buffer[65];
    int given, sign, count;
    int width;
    kel_string result;
    kel_at(3);
    kel_at(4);
    kel_at(5);
    kel_at(6);
    given = places;
    kel_at(7);
    // The negation of the most negative count wraps to itself, so that count has no filler.
    width = places > 0 ? places + 1 : -places;
    kel_at(8);
    if (width > 63)
        width = 63;
    kel_at(9);
    sign = 32;
    kel_at(10);
    if (given <= 0)
        sign = 0;
    kel_at(11);
    count = 0;
    kel_at(12);
    if (value < 0) {
        kel_at(13);
        sign = 45;
        kel_at(14);
        if (value == -2147483647 - 1) {
            kel_at(15);
            _kel_STRING(_kel_ADDR(&buffer[0])) = most_negative_digits;
            kel_at(16);
            count = 10;
            kel_at(17);
            goto signed_digits;
        }
        kel_at(19);
        value = -value;
        kel_at(20);
    }
    kel_at(21);
    do {
        kel_at(22);
        int digit = value - value / 10 * 10;
        kel_at(23);
        count = count + 1;
        kel_at(24);
        buffer[count] = static_cast<unsigned char>(digit + 48);
        kel_at(25);
        value = value / 10;
        kel_at(26);
    } while (value != 0);
    kel_at(27);
signed_digits:
    kel_at(28);
    if (sign != 0) {
        kel_at(29);
        count = count + 1;
        buffer[count] = static_cast<unsigned char>(sign);
        kel_at(30);
    }
    kel_at(31);
    while (count < width) {
        kel_at(32);
        count = count + 1;
        buffer[count] = 32;
        kel_at(33);
    }
    kel_at(34);
    result = kel_string{};
    kel_at(35);
    do {
        kel_at(36);
        result = _kel_join(result, _kel_TOSTRING(buffer[count]));
        kel_at(37);
        count = count - 1;
        kel_at(38);
    } while (count != 0);
    kel_at(39);
    return result;
}

extern "C" void INTCOL(int value, int places)
{
    kel_at(2);
    kel_at(41);
    while (places > 62) {
        _kel_SPACE();
        places = places - 1;
    }
    kel_at(42);
    _kel_PRINTSTRING(ITOS(value, places));
    kel_at(43);
}
