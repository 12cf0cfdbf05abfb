// piseries: reads a count from "rounds.txt" and prints four times the sum of that many
// terms, plus two, of the Leibniz series for pi/4.
#define KEL_SOURCE "regression-bugs-tmp/piseries"
#define KEL_SELECTINPUT_SETS_INFILE
#include "runtime/frame.h"
#include "runtime/io.h"
#include "runtime/observe.h"

static kel_loop series_loop;

int main(int argc, char **argv)
{
    static const kel_string rounds_file = kel_lit("rounds.txt");
    static const kel_string cycle = kel_lit("Illegal cycle I = 2, 1, ROUNDS");
    static const kel_string corrupt = kel_lit("Corrupt control variable I");
    int ROUNDS, I;
    double sum, sign;

    _kel_initialise(argc, argv);
    kel_at(2);
    kel_at(4);
    kel_at(5);
    sum = 1;
    kel_at(12);
    kel_at(14);
    _kel_OPENINPUT(1, rounds_file);
    kel_at(15);
    _kel_SELECTINPUT(1);
    kel_at(17);
    _kel_readint(&ROUNDS);
    kel_at(20);
    _kel_CLOSEINPUT();
    kel_at(22);
    ROUNDS = ROUNDS + 2;
    kel_at(24);
    for (I = kel_loop_begin(series_loop, 2, 1, ROUNDS, cycle, 24);
         kel_loop_next(series_loop, I, corrupt, 24);) {
        // A seeded test build assigns the control variable here, as a corrupting body would.
        kel_expose("I", 'i', &I, 1);
        kel_at(25);
        sign = 2 * (I & 1) - 1;
        kel_at(26);
        // The divisor is formed in double, where 2I - 1 is exact for every I; as a 32-bit
        // integer it would wrap once I passes 2^30, for counts from 1073741823 on.
        sum = sum + sign / (2.0 * I - 1);
        kel_at(28);
    }
    kel_at(30);
    sum = sum * 4;
    kel_at(31);
    _kel_PRINTFL(sum, 16);
    kel_at(32);
    _kel_NEWLINE();
    kel_at(34);
    return 0;
}
