// A string resolution for test builds that answers as the command line says: its first
// argument holds one digit per call, in order, "1" found and "0" not found (no digit left:
// not found). Each call is reported on standard error with the arguments it was given.
#include <cstdio>
#include <cstring>

#include "runtime/kel.h"

namespace {

void show(const char *label, const kel_string *s)
{
    if (s)
        std::fprintf(stderr, "%s\"%.*s\"", label, s->b[0], reinterpret_cast<const char *>(s->b + 1));
    else
        std::fprintf(stderr, "%snull", label);
}

}  // namespace

extern "C" int __wrap__kel_resolve(kel_string source, kel_string *left, kel_string separator,
                                   kel_string *right)
{
    static std::size_t call;
    const char *script = _kel_global_argc > 1 ? _kel_global_argv[1] : "";
    int found = call < std::strlen(script) && script[call] == '1';
    call++;
    show("resolve(", &source);
    std::fprintf(stderr, ", %s", left ? "left" : "null");
    show(", ", &separator);
    std::fprintf(stderr, ", %s) = %d\n", right ? "right" : "null", found);
    return found;
}
