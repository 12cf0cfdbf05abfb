// The observer of seeded test builds: before the printing observer shows an exposed array,
// sets it from the program's command line, where "name=v,v,..." gives the array's values the
// first time a program exposes that name. Linked with --wrap=kel_observe in front of it.
#include <cstdlib>
#include <cstring>

#include "runtime/kel.h"

extern "C" void __real_kel_observe(const char *name, char kind, void *data, int count);

namespace {

// Stores the comma-separated values of `text` into the array, as many as it holds.
void seed(const char *text, char kind, void *data, int count)
{
    for (int i = 0; i < count && *text; i++) {
        char *end;
        switch (kind) {
        case 'i': static_cast<int *>(data)[i] = static_cast<int>(std::strtoll(text, &end, 0)); break;
        case 'l': static_cast<long long *>(data)[i] = std::strtoll(text, &end, 0); break;
        case 'f': static_cast<float *>(data)[i] = std::strtof(text, &end); break;
        default: static_cast<double *>(data)[i] = std::strtod(text, &end); break;
        }
        text = *end == ',' ? end + 1 : end;
    }
}

}  // namespace

extern "C" void __wrap_kel_observe(const char *name, char kind, void *data, int count)
{
    static bool used[256];
    std::size_t length = std::strlen(name);
    for (int a = 1; a < _kel_global_argc && a < 256; a++) {
        const char *argument = _kel_global_argv[a];
        if (!used[a] && std::strncmp(argument, name, length) == 0 && argument[length] == '=') {
            used[a] = true;
            seed(argument + length + 1, kind, data, count);
        }
    }
    __real_kel_observe(name, kind, data, count);
}
