// padform: TORVK77WRITE writes a 32-bit integer right-aligned in the TORV integer column layout.
#define KEL_SOURCE "regression-bugs-tmp/padform"
#include "runtime/arith.h"
#include "runtime/frame.h"
#include "runtime/io.h"
#include "runtime/kelstring.h"

// The plain decimal text, built backwards from the last character of a work string.
static kel_string ITOS0(int value)
{
    kel_string work;
    int flag, position, end;
    kel_at(4);
    kel_at(5);
    flag = 0;
    kel_at(6);
    if (value < 0) {
        kel_at(7);
        flag = -1;
        kel_at(8);
        if (value == -2147483647 - 1) {
            // 2147483648 has no 32-bit form: its neighbour is written and the units
            // digit put right below
            kel_at(9);
            value = 2147483647;
            flag = 1;
        } else {
            kel_at(10);
            value = -value;
        }
        kel_at(11);
    }
    kel_at(12);
    position = 255;
    end = position;
    do {
        kel_at(13);
        *_kel_CHARNO(&work, position) = static_cast<unsigned char>(_kel_REM(value, 10) + '0');
        kel_at(14);
        value = value / 10;
        kel_at(15);
        position = position - 1;
        kel_at(16);
    } while (value != 0);
    kel_at(17);
    if (flag != 0) {
        *_kel_CHARNO(&work, position) = '-';
        position = position - 1;
    }
    kel_at(18);
    if (flag == 1)
        *_kel_CHARNO(&work, 255) = '8';
    kel_at(19);
    _kel_BYTEINTEGER(_kel_ADDR(_kel_CHARNO(&work, position))) =
        static_cast<unsigned char>(end - position);
    kel_at(20);
    return _kel_STRING(_kel_ADDR(_kel_CHARNO(&work, position)));
}

// The field: the decimal text stored at character 62 of a work string, then spaces put in
// front one position at a time, so at most 62 of them.
static kel_string ITOS(int value, int places)
{
    kel_string work;
    int start, length;
    long long width;
    kel_at(3);
    kel_at(21);
    start = 62;
    _kel_STRING(_kel_ADDR(_kel_CHARNO(&work, start))) = ITOS0(value);
    kel_at(22);
    length = _kel_BYTEINTEGER(_kel_ADDR(_kel_CHARNO(&work, start)));
    kel_at(23);
    if (value > 0 && places > 0) {
        *_kel_CHARNO(&work, start) = ' ';
        start = start - 1;
        length = length + 1;
    }
    kel_at(24);
    // In 64 bits: places + 1 and -places overflow at the ends of the 32-bit range.
    width = places <= 0 ? -static_cast<long long>(places) : places + 1LL;
    kel_at(25);
    if (width > 63)
        width = 63;
    kel_at(26);
    while (length < width) {
        kel_at(27);
        *_kel_CHARNO(&work, start) = ' ';
        start = start - 1;
        length = length + 1;
        kel_at(28);
    }
    kel_at(29);
    _kel_BYTEINTEGER(_kel_ADDR(_kel_CHARNO(&work, start))) = static_cast<unsigned char>(length);
    kel_at(30);
    return _kel_STRING(_kel_ADDR(_kel_CHARNO(&work, start)));
}

// Fields wider than the 63 characters that ITOS builds get their other spaces here.
extern "C" void TORVK77WRITE(int value, int places)
{
    kel_at(2);
    kel_at(31);
    kel_string s = ITOS(value, places);
    kel_at(32);
    if (places < 0)
        places = ~places;
    kel_at(33);
    _kel_SPACES(places - 62);
    kel_at(34);
    _kel_PRINTSTRING(s);
    kel_at(35);
}
