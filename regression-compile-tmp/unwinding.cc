// unwinding: a recursive routine traps an event in every activation; the deepest one signals,
// and each handler reports its own state and passes the event outward until the program's
// own handler ends the run.
#define KEL_SOURCE "regression-compile-tmp/unwinding"
#include "runtime/frame.h"
#include "runtime/io.h"

static const kel_string no_message = kel_lit("");

static void THEPROCEDURE(int n)
{
    static const kel_string entered = kel_lit("Entered from THEPROCEDURE ");
    static const kel_string local_label = kel_lit("LOCALVARIABLE = ");
    int LOCALVARIABLE = n;

    KEL_ON_EVENT(15) {
        _kel_PRINTSTRING(entered);
        _kel_writeint(n, -1);
        _kel_NEWLINES(2);
        _kel_PRINTSTRING(local_label);
        _kel_writeint(LOCALVARIABLE, 0);
        _kel_NEWLINE();
        kel_signal(16, no_message, 15, _kel_EVENT().subevent, _kel_EVENT().extra);
    } else {
        if (n > 9)
            kel_signal(19, no_message, 15, 1, 0);
        THEPROCEDURE(n + 3);
    }
}

int main(int argc, char **argv)
{
    static const kel_string end_label = kel_lit("END OF DIAGNOSTICS");

    _kel_initialise(argc, argv);
    KEL_ON_EVENT(15) {
        _kel_PRINTSTRING(end_label);
        _kel_NEWLINE();
    } else {
        THEPROCEDURE(1);
    }
    return 0;
}
