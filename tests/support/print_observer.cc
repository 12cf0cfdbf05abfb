// The observer of test builds: prints each exposed array as "name: v v v" on standard error,
// with reals to the digits that tell every value apart.
#include <cstdio>

extern "C" void kel_observe(const char *name, char kind, void *data, int count)
{
    std::fprintf(stderr, "%s:", name);
    for (int i = 0; i < count; i++) {
        switch (kind) {
        case 'i': std::fprintf(stderr, " %d", static_cast<int *>(data)[i]); break;
        case 'l': std::fprintf(stderr, " %lld", static_cast<long long *>(data)[i]); break;
        case 'f': std::fprintf(stderr, " %.9g", static_cast<float *>(data)[i]); break;
        case 'd': std::fprintf(stderr, " %.17g", static_cast<double *>(data)[i]); break;
        }
    }
    std::fputc('\n', stderr);
}
