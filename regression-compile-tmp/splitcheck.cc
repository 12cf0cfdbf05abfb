// splitcheck: six resolutions of one string at "xxx", each as a statement (a failure signals
// event 7) and as a condition (a failure only drops that case's line).
#define KEL_SOURCE "regression-compile-tmp/splitcheck"
#include "runtime/frame.h"
#include "runtime/io.h"
#include "runtime/observe.h"

// Both parts as they stand after a resolution, for test builds that observe them.
static void expose_parts(kel_string *left, kel_string *right)
{
    kel_expose("left", 's', left, 1);
    kel_expose("right", 's', right, 1);
}

// The statement form: a resolution that fails is an error, signalled from the case's line.
static void resolve_statement(kel_string source, kel_string *left, kel_string separator,
                              kel_string *right, int line)
{
    static const kel_string fails = kel_lit("string resolution fails");
    if (!_kel_resolve(source, left, separator, right))
        kel_signal(line, fails, 7, 1, 0);
    _kel_NEWLINE();
}

int main(int argc, char **argv)
{
    static const kel_string separator = kel_lit("xxx");
    kel_string source = kel_lit("A string with xxx in the middle");
    kel_string left, right;

    _kel_initialise(argc, argv);
    resolve_statement(source, &left, separator, &right, 6);
    expose_parts(&left, &right);
    if (_kel_resolve(source, &left, separator, &right))
        _kel_NEWLINE();
    expose_parts(&left, &right);
    resolve_statement(source, nullptr, separator, &right, 14);
    expose_parts(&left, &right);
    if (_kel_resolve(source, nullptr, separator, &right))
        _kel_NEWLINE();
    expose_parts(&left, &right);
    resolve_statement(source, &left, separator, nullptr, 22);
    expose_parts(&left, &right);
    if (_kel_resolve(source, &left, separator, nullptr))
        _kel_NEWLINE();
    expose_parts(&left, &right);
    return 0;
}
