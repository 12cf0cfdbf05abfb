// The clock of a test build of the benchmark: the first reading is 1000 ticks and every later
// one 1000 + TORQUILAN_TICKS, so that a test chooses the measured time and reaches each branch
// of the report. Linked with --wrap=clock.
#include <cstdlib>
#include <ctime>

extern "C" clock_t __wrap_clock(void)
{
    static int readings;
    const char *ticks = std::getenv("TORQUILAN_TICKS");
    return 1000 + (readings++ > 0 && ticks ? std::atol(ticks) : 0);
}
