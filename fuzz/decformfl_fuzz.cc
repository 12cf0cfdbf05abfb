// Fuzz target: decform's DECFORMFL over arbitrary argument bits: the layout, its field, and
// digits that read back as the value to the places asked for.
#include "fuzz/harness.h"

extern "C" void DECFORMFL(double value, int places);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_arguments args{data, size};
    double value = args.take<double>();
    int places = args.take<int>();
    int digits = places < 0 ? ~places : places;
    if (digits > FUZZ_WIDEST_FIELD)
        return -1;
    fuzz_run run = fuzz_call(data, 0, [=] { DECFORMFL(value, places); });
    FUZZ_RETURNED(run);
    std::string number = fuzz_unpadded(run.out);
    // Spaces past 62 places, then the sign position: a space unless the value is negative.
    std::size_t spaces = (digits > 62 ? digits - 62 : 0) + (value < 0 ? 0 : 1);
    FUZZ_REQUIRE(run.out.size() - number.size() == spaces, run);
    FUZZ_REQUIRE(fuzz_number_text(run.out), run);
    if (std::isfinite(value))
        FUZZ_REQUIRE(fuzz_mantissa_digits(number) == 1 + std::min(digits, 7), run);
    if (std::isfinite(value) && value != 0)
        FUZZ_REQUIRE(fuzz_reads_back(number, value, 1e-12), run);
    return 0;
}
