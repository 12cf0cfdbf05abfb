// A window for test builds: a program hands its results to an observer that only a test
// build links. In the deliverable the observer is absent, but the hand-over still makes
// the results (and whatever the observer might have changed) real, so no work is folded away.
#ifndef KEL_RUNTIME_OBSERVE_H
#define KEL_RUNTIME_OBSERVE_H

// kind: 'i' 32-bit integers, 'l' 64-bit integers, 'f' 32-bit reals, 'd' 64-bit reals,
// 's' kel strings.
extern "C" void kel_observe(const char *name, char kind, void *data, int count)
    __attribute__((weak));

static inline void kel_expose(const char *name, char kind, void *data, int count)
{
    if (kel_observe)
        kel_observe(name, kind, data, count);
    asm volatile("" : : "r"(data) : "memory");
}

#endif
