// Fuzz target: fixconv over arbitrary argument bits: a string in the number layout that reads
// back as the value, or the support layer's report of a text too long.
#include "fuzz/harness.h"

extern "C" kel_string fixconv(float value, int places);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_arguments args{data, size};
    float value = args.take<float>();
    int places = args.take<int>();
    kel_string text{};
    fuzz_run run = fuzz_call(data, 0, [&] { text = fixconv(value, places); });
    FUZZ_REQUIRE(run.out.empty(), run);
    if (run.status == 1) {
        FUZZ_REQUIRE(run.err.rfind("STRING CAPACITY EXCEEDED: ", 0) == 0, run);
        return 0;
    }
    FUZZ_RETURNED(run);
    std::string result(reinterpret_cast<const char *>(text.b + 1), text.b[0]);
    FUZZ_REQUIRE(fuzz_number_text(result), run);
    // At places of 0 or less the mantissa has no fraction digits and the scaling threshold
    // (1 - 0.5^places) is 0 or below, so a value under a half shows as 0@0.
    if (std::isfinite(value) && value != 0 && places > 0)
        FUZZ_REQUIRE(fuzz_reads_back(result, value, 1e-5), run);
    return 0;
}
