// Fuzz target: evalix whole, from the bytes on its standard input through the runtime's readers
// to what it prints, with its own answers, reports and ends checked.
// The harness starts the runtime once for the process; evalix's own start of each run is left out.
#include "runtime/kel.h"
#define _kel_initialise(argc, argv) ((void)(argc), (void)(argv))
#define main evalix_main
#include "regression-compile-tmp/evalix.cc"
#undef main
#undef _kel_initialise

#include "fuzz/harness.h"

// A line of output: a result, nothing (a result that is not whole), or a report and "?".
static bool answer_line(const std::string &line)
{
    static const char *const reports[] = {" variable?", " unassigned?", " operand?", " operator?",
                                          "divide by zero?"};
    for (const char *report : reports) {
        std::size_t n = std::strlen(report);
        if (line.size() >= n && line.compare(line.size() - n, n, report) == 0)
            return true;
    }
    std::size_t digits = line[0] == '-' ? 1 : 0;
    return line.find_first_not_of("0123456789", digits) == std::string::npos &&
           (line.empty() || line.size() > digits);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::memset(VARS, 0, sizeof VARS);
    std::memset(VARA, 0, sizeof VARA);
    fuzz_run run = fuzz_call(data, size, [] {
        static char name[] = "evalix";
        static char *argv[] = {name, nullptr};
        evalix_main(1, argv);
    });
    // The end of input ends the run with 0; a number the reader cannot take is the library's
    // untrapped data event, status 2 with its one line.
    if (run.status == 0) {
        FUZZ_REQUIRE(run.err.empty(), run);
    } else {
        FUZZ_REQUIRE(run.status == 2, run);
        FUZZ_REQUIRE(run.err.rfind("kel: unhandled event 3, sub-event ", 0) == 0, run);
        FUZZ_REQUIRE(run.err.find('\n') == run.err.size() - 1, run);
    }
    // Everything printed ends a line except what the interrupted last line had printed.
    std::size_t start = 0;
    for (std::size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1)
        FUZZ_REQUIRE(answer_line(run.out.substr(start, end - start)), run);
    FUZZ_REQUIRE(run.status == 2 || start == run.out.size(), run);
    return 0;
}
