// Fuzz target: figshow's PRINT over arbitrary argument bits: a number's text in about n
// characters, reading back as the value to the digits that fit.
#include "fuzz/harness.h"

extern "C" void PRINT(double x, int n);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_arguments args{data, size};
    double x = args.take<double>();
    int n = args.take<int>();
    if (n > FUZZ_WIDEST_FIELD)
        return -1;
    fuzz_run run = fuzz_call(data, 0, [=] { PRINT(x, n); });
    FUZZ_RETURNED(run);
    FUZZ_REQUIRE(fuzz_number_text(run.out), run);
    // The text in exponent form is at most four characters over the budget (docs/formatting.md).
    FUZZ_REQUIRE(run.out.size() <= static_cast<std::size_t>(std::max(n, 3)) + 5, run);
    if (std::isfinite(x) && x != 0) {
        // The digits are the stored value's own, truncated: short of it by less than a unit
        // of the last digit shown.
        double spacing = std::nextafter(std::fabs(x), INFINITY) - std::fabs(x);
        FUZZ_REQUIRE(fuzz_reads_back(run.out, x, std::max(1e-15, spacing / std::fabs(x))), run);
    }
    return 0;
}
