// The observer of test builds: prints each exposed array as "name: v v v" on standard error,
// with reals to the digits that tell every value apart and kel strings as their characters
// in double quotes.
#include <cstdio>

#include "runtime/kel.h"

extern "C" void kel_observe(const char *name, char kind, void *data, int count)
{
    std::fprintf(stderr, "%s:", name);
    for (int i = 0; i < count; i++) {
        switch (kind) {
        case 'i': std::fprintf(stderr, " %d", static_cast<int *>(data)[i]); break;
        case 'l': std::fprintf(stderr, " %lld", static_cast<long long *>(data)[i]); break;
        case 'f': std::fprintf(stderr, " %.9g", static_cast<float *>(data)[i]); break;
        case 'd': std::fprintf(stderr, " %.17g", static_cast<double *>(data)[i]); break;
        case 's': {
            const unsigned char *s = static_cast<kel_string *>(data)[i].b;
            // Every character of the length, NUL bytes included, so a wrong length shows.
            std::fputs(" \"", stderr);
            std::fwrite(s + 1, 1, s[0], stderr);
            std::fputc('"', stderr);
            break;
        }
        }
    }
    std::fputc('\n', stderr);
}
