// Fuzz target: flshow's PRINT over arbitrary argument bits: the fixed layout (the floating one
// past 2^31), reading back as the value to the places asked for.
#include "fuzz/harness.h"

extern "C" void PRINT(float x, int before, int after);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_arguments args{data, size};
    float x = args.take<float>();
    int before = args.take<int>();
    int after = args.take<int>();
    // Past 2^31 the digits are PRINTFL's, before + after of them (the sum wraps as the
    // routine's own does).
    int floating = static_cast<int>(static_cast<unsigned>(before) + static_cast<unsigned>(after));
    if (std::max({before, after, floating}) > FUZZ_WIDEST_FIELD)
        return -1;
    fuzz_run run = fuzz_call(data, 0, [=] { PRINT(x, before, after); });
    FUZZ_RETURNED(run);
    FUZZ_REQUIRE(fuzz_number_text(run.out), run);
    if (std::isfinite(x) && std::fabs(x) < 2147483648.0f) {
        double unit = after > 0 ? std::pow(10.0, -after) : 1;
        FUZZ_REQUIRE(std::fabs(fuzz_read_back(run.out) - x) <= unit + 1e-6 * std::fabs(x), run);
    }
    return 0;
}
