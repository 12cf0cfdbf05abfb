// argshow: lists the argument count and then each argument by index, quoted.
#define KEL_SOURCE "regression-bugs-tmp/argshow"
#include "runtime/frame.h"
#include "runtime/io.h"

static kel_loop arg_loop;

int main(int argc, char **argv)
{
    static const kel_string argc_label = kel_lit("Argc = ");
    static const kel_string argv_label = kel_lit("Argv(");
    static const kel_string equals_quote = kel_lit(") = \"");
    static const kel_string cycle = kel_lit("Illegal cycle ARG = 0, 1, (((int)(_kel_ARGC())) + (1))");
    static const kel_string corrupt = kel_lit("Corrupt control variable ARG");
    int ARG;

    _kel_initialise(argc, argv);
    kel_at(2);
    kel_at(3);
    _kel_PRINTSTRING(argc_label);
    kel_at(3);
    _kel_WRITE(_kel_ARGC(), 0);
    kel_at(3);
    _kel_NEWLINE();
    kel_at(4);
    for (ARG = kel_loop_begin(arg_loop, 0, 1, _kel_ARGC() + 1, cycle, 4);
         kel_loop_next(arg_loop, ARG, corrupt, 4);) {
        kel_at(5);
        _kel_PRINTSTRING(argv_label);
        kel_at(6);
        _kel_WRITE(ARG, 0);
        kel_at(7);
        _kel_PRINTSTRING(equals_quote);
        kel_at(8);
        _kel_PRINTSTRING(_kel_ARGV(ARG));
        kel_at(9);
        _kel_PRINTSYMBOL('"');
        kel_at(10);
        _kel_NEWLINE();
        kel_at(11);
    }
    kel_at(12);
    return 0;
}
