// Fuzz target: _kel_resolve over arbitrary strings and separators, both parts wanted or either
// omitted, checked against a plain search for the first occurrence.
#include "fuzz/harness.h"

namespace {

// A string of the given characters; the bytes past its length hold `fill`, which no
// resolution may take for characters.
kel_string string_of(const std::string &text, unsigned char fill)
{
    kel_string s;
    std::memset(s.b, fill, sizeof s.b);
    s.b[0] = static_cast<unsigned char>(text.size());
    std::memcpy(s.b + 1, text.data(), text.size());
    return s;
}

std::string text_of(const kel_string &s) { return std::string(reinterpret_cast<const char *>(s.b + 1), s.b[0]); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3)
        return -1;
    // The first byte says which parts are wanted, the next two the source's and the
    // separator's lengths; the rest are their characters, then the fill.
    bool want_left = data[0] & 1, want_right = data[0] & 2;
    std::string rest(reinterpret_cast<const char *>(data + 3), size - 3);
    std::size_t n = std::min<std::size_t>(data[1], rest.size());
    std::size_t k = std::min<std::size_t>(data[2], rest.size() - n);
    std::string source = rest.substr(0, n), separator = rest.substr(n, k);
    unsigned char fill = size > 3 + n + k ? data[3 + n + k] : 0xA5;

    kel_string left = string_of("left as it was", fill), right = string_of("right as it was", fill);
    const kel_string left_before = left, right_before = right;
    int found = 0;
    fuzz_run run = fuzz_call(data, 0, [&] {
        found = _kel_resolve(string_of(source, fill), want_left ? &left : nullptr,
                             string_of(separator, fill), want_right ? &right : nullptr);
    });
    FUZZ_REQUIRE(run.status == -1 && run.out.empty() && run.err.empty(), run);

    std::size_t at = source.find(separator);
    bool matches = at != std::string::npos && (want_left || at == 0);
    FUZZ_REQUIRE(found == (matches ? 1 : 0), run);
    if (!matches) {
        FUZZ_REQUIRE(std::memcmp(&left, &left_before, sizeof left) == 0, run);
        FUZZ_REQUIRE(std::memcmp(&right, &right_before, sizeof right) == 0, run);
        return 0;
    }
    FUZZ_REQUIRE(want_left ? text_of(left) == source.substr(0, at)
                           : std::memcmp(&left, &left_before, sizeof left) == 0, run);
    FUZZ_REQUIRE(want_right ? text_of(right) == source.substr(at + k)
                            : std::memcmp(&right, &right_before, sizeof right) == 0, run);
    return 0;
}
