// Fuzz target: flshow's FRACTION over arbitrary argument bits: "." and n digits of a finite
// value's fraction, nothing for n of 0 or less, and an end for every argument.
#include "fuzz/harness.h"

extern "C" void FRACTION(float x, int n);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_arguments args{data, size};
    float x = args.take<float>();
    int n = args.take<int>();
    if (n > FUZZ_WIDEST_FIELD)
        return -1;
    fuzz_run run = fuzz_call(data, 0, [=] { FRACTION(x, n); });
    FUZZ_RETURNED(run);
    FUZZ_REQUIRE(run.out.size() == (n > 0 ? n + 1u : 0u), run);
    // The digits of an infinity or a NaN mean nothing; every finite value's are digits.
    if (n > 0 && std::isfinite(x))
        FUZZ_REQUIRE(run.out[0] == '.' && run.out.find_first_not_of("0123456789", 1) == std::string::npos, run);
    return 0;
}
