// The program frame: source position, event signalling and trapping, fatal diagnostics,
// self-checking counted loops. A module defines KEL_SOURCE, its source path, first.
#ifndef KEL_RUNTIME_FRAME_H
#define KEL_RUNTIME_FRAME_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "runtime/kel.h"
#include "runtime/kelstring.h"

#ifndef KEL_SOURCE
#error "a module defines KEL_SOURCE, its source path, before including the runtime headers"
#endif

static const char kel_source_path[] = KEL_SOURCE;
static const kel_string kel_source_string = kel_lit(KEL_SOURCE);

// The statement prologue of modules that keep the source position.
static inline void kel_at(int line)
{
    _kel_current_line = line;
    _kel_current_file = kel_source_path;
}

static inline const char *kel_position_file(void)
{
    return _kel_current_file ? _kel_current_file : kel_source_path;
}

static inline int kel_position_line(int line_of_construct)
{
    return _kel_current_line ? _kel_current_line : line_of_construct;
}

static inline kel_event_record _kel_EVENT(void) { return _kel_event; }

// Signals an event at the runtime's position, or at this module's path and the
// signalling statement's own line when the runtime has none. Always inlined: the
// library tells a handler's own signal from one out of a deeper call by the depth of
// the routine that makes the call.
[[gnu::always_inline]] static inline void kel_signal(int line, kel_string message, int event, int subevent, int extra)
{
    kel_string file = _kel_current_file ? kel_from_text(_kel_current_file) : kel_source_string;
    _signal_event(file, kel_position_line(line), message, event, subevent, extra);
}

// Whether the frame just armed runs its block body; set and read by KEL_ON_EVENT alone.
inline int kel_frame_entered;

// Arms an on-event frame for the listed events. The statement after it is the handler,
// run when one of them arrives; its else branch is the block body:
//     KEL_ON_EVENT(9, 15) { handler } else { body }
// sigsetjmp's result is the whole controlling expression of an if, one of the few contexts
// where the C and POSIX standards define its use.
#define KEL_ON_EVENT(...)                                                           \
    if (sigsetjmp(_kel_event.jump, 1))                                              \
        kel_frame_entered = 0;                                                      \
    else                                                                            \
        kel_frame_entered = _kel_on_event_enter(&_kel_event, __VA_ARGS__, -1);      \
    if (kel_frame_entered == 0)

[[noreturn]] static inline void kel_result_missing(const char *routine, int line)
{
    std::fprintf(stderr, "%%RESULT missing in %s in file %s:%d\n", routine, kel_position_file(),
                 kel_position_line(line));
    std::exit(1);
}

[[noreturn]] static inline void kel_switch_out_of_range(const char *name, int index, int low,
                                                        int high, int line)
{
    std::fprintf(stderr, "%%SWITCH index %s(%d) not in range %d:%d at %s:%d\n", name, index, low,
                 high, kel_position_file(), kel_position_line(line));
    std::exit(1);
}

// A counted loop whose bounds are not all constants keeps its start, increment, final
// value and a shadow of the control variable in static cells, and checks itself:
//     static kel_loop cells;
//     for (V = kel_loop_begin(cells, S, I, F, cycle_message, line);
//          kel_loop_next(cells, V, corrupt_message, line);) body;
struct kel_loop {
    int start, increment, final, shadow;
};

// A final value the loop cannot reach exactly (or a zero increment) is an illegal cycle,
// so the loop never counts on past its end.
static inline int kel_loop_begin(kel_loop &cells, int start, int increment, int final,
                                 const kel_string &cycle_message, int line)
{
    cells.start = start;
    cells.increment = increment;
    cells.final = final;
    cells.shadow = start;
    std::int64_t span = std::int64_t(final) - start;
    if (increment == 0 || span % increment != 0 || span / increment < -1)
        kel_signal(line, cycle_message, 5, 1, 0);
    cells.shadow -= increment;
    return start - increment;
}

static inline bool kel_loop_next(kel_loop &cells, int &control, const kel_string &corrupt_message,
                                 int line)
{
    if (control == cells.final)
        return false;
    control += cells.increment;
    cells.shadow += cells.increment;
    if (control != cells.shadow)
        kel_signal(line, corrupt_message, 4, 2, 0);
    return true;
}

#endif
