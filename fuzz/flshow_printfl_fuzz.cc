// Fuzz target: flshow's PRINTFL over arbitrary argument bits: the floating layout, reading back
// as the value to the digits asked for.
#include "fuzz/harness.h"

extern "C" void PRINTFL(float x, int n);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_arguments args{data, size};
    float x = args.take<float>();
    int n = args.take<int>();
    if (n > FUZZ_WIDEST_FIELD)
        return -1;
    fuzz_run run = fuzz_call(data, 0, [=] { PRINTFL(x, n); });
    FUZZ_RETURNED(run);
    FUZZ_REQUIRE(fuzz_number_text(run.out) && run.out.find('@') != std::string::npos ||
                     !std::isfinite(x), run);
    // Single precision normalising steps add up to some millionths.
    if (std::isfinite(x))
        FUZZ_REQUIRE(fuzz_mantissa_digits(run.out) == 1 + std::max(n, 0), run);
    if (std::isfinite(x) && x != 0)
        FUZZ_REQUIRE(fuzz_reads_back(run.out, x, 1e-5), run);
    return 0;
}
