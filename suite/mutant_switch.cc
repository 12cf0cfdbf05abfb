// The switch of the mutant schemata: which mutant a runtime built from them takes, by its number
// in KEL_MUTANT (0 or unset: none), read before any other constructor can call into the runtime.
#include <cstdlib>

extern "C" int kel_mutant_active = 0;

namespace {

__attribute__((constructor(101))) void read_switch(void)
{
    if (const char *number = std::getenv("KEL_MUTANT"))
        kel_mutant_active = std::atoi(number);
}

}  // namespace
