// Fuzz target: an integer column routine (intcol's INTCOL, padform's TORVK77WRITE, chosen by
// FUZZ_ROUTINE) over arbitrary argument bits: spaces, then the number itself.
#include "fuzz/harness.h"

extern "C" void FUZZ_ROUTINE(int value, int places);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_arguments args{data, size};
    int value = args.take<int>();
    int places = args.take<int>();
    // Both pad wide positive counts space by space; padform pads by the complement of a
    // negative count too.
    int width = places < 0 && FUZZ_COMPLEMENT_PADS ? ~places : places;
    if (width > FUZZ_WIDEST_FIELD)
        return -1;
    fuzz_run run = fuzz_call(data, 0, [=] { FUZZ_ROUTINE(value, places); });
    FUZZ_RETURNED(run);
    std::string number = fuzz_unpadded(run.out);
    FUZZ_REQUIRE(number.find_first_not_of("-0123456789") == std::string::npos, run);
    FUZZ_REQUIRE(std::strtoll(number.c_str(), nullptr, 10) == value, run);
    return 0;
}
