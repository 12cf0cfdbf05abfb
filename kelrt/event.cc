// Events: the source position, on-event frames, signalling and the report of an untrapped event.
//
// The record has one jump buffer, so each armed frame keeps its own copy and the
// library puts it back before jumping. No call says when a block or handler ends, so
// the library reads the call stack through the unwinder's tables: a frame belongs to
// the activation that armed it, known by its routine's start and its frame address
// (the stack pointer its caller had at the call). A frame is live while that
// activation is on the stack; a signal made by that activation itself while its
// handler runs goes outward.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unwind.h>

#include "kelrt/internal.h"

int _kel_current_line;
const char *_kel_current_file;
kel_event_record _kel_event;

namespace {

enum { MAX_FRAMES = 4096, MAX_TRAPPED = 32 };

struct activation {
    std::uintptr_t routine, cfa;
};

bool same(const activation &a, const activation &b)
{
    return a.routine == b.routine && a.cfa == b.cfa;
}

struct frame {
    sigjmp_buf jump;
    activation armed_by;
    bool handling;   // its handler has been entered
    int trapped_count;
    int trapped[MAX_TRAPPED];
};

frame frames[MAX_FRAMES];
int live;   // frames[0 .. live-1], outermost first

bool traps(const frame &f, int event)
{
    for (int i = 0; i < f.trapped_count; i++)
        if (f.trapped[i] == event)
            return true;
    return false;
}

// A walk of the call stack from the library routine outward. The unwinder shows each
// activation's routine, and beside it the stack pointer at that activation's call into
// the one walked before, which is that one's frame address; so an activation is
// complete one step later. `visit` sees activations 1, 2, ... (0 is the library's own)
// and returns false to stop. Always inlined, whatever the optimisation: a frame of its own
// would shift every index by one.
template <typename Visit>
[[gnu::always_inline]] inline void walk_callers(Visit &visit)
{
    struct state {
        Visit *visit;
        int index;
        std::uintptr_t routine;
    } s = {&visit, -1, 0};
    auto step = [](_Unwind_Context *context, void *arg) -> _Unwind_Reason_Code {
        auto *s = static_cast<state *>(arg);
        if (s->index >= 1 && !(*s->visit)(s->index, activation{s->routine, _Unwind_GetCFA(context)}))
            return _URC_END_OF_STACK;
        s->index++;
        s->routine = _Unwind_GetRegionStart(context);
        return _URC_NO_REASON;
    };
    _Unwind_Backtrace(step, &s);
}

// The activation that called the library routine that calls this.
[[gnu::noinline]] activation caller_of_library(void)
{
    activation found = {0, 0};
    auto visit = [&](int index, const activation &a) {
        if (index < 2)
            return true;
        found = a;
        return false;
    };
    walk_callers(visit);
    return found;
}

[[noreturn]] void report_untrapped(const kel_string &file, int line, const kel_string &message)
{
    kel_flush_all();
    std::fprintf(stderr, "kel: unhandled event %d, sub-event %d, extra %d", _kel_event.event,
                 _kel_event.subevent, _kel_event.extra);
    if (message.b[0])
        std::fprintf(stderr, ": %.*s", message.b[0], reinterpret_cast<const char *>(message.b + 1));
    if (file.b[0] || line)
        std::fprintf(stderr, ", at %.*s line %d", file.b[0],
                     reinterpret_cast<const char *>(file.b + 1), line);
    std::fputc('\n', stderr);
    std::exit(KEL_EXIT_RUNTIME);
}

}  // namespace

int _kel_on_event_enter(kel_event_record *record, ...)
{
    frame f;
    f.handling = false;
    f.trapped_count = 0;
    va_list events;
    va_start(events, record);
    for (int e = va_arg(events, int); e != -1; e = va_arg(events, int))
        if (f.trapped_count < MAX_TRAPPED)
            f.trapped[f.trapped_count++] = e;
    va_end(events);
    f.armed_by = caller_of_library();
    std::memcpy(f.jump, record->jump, sizeof f.jump);

    // Frames at this depth or deeper belong to activations that have returned, or to
    // this one arming again.
    while (live > 0 && frames[live - 1].armed_by.cfa <= f.armed_by.cfa)
        live--;
    if (live == MAX_FRAMES) {
        kel_flush_all();
        std::fprintf(stderr, "kel: more than %d on-event frames armed at once\n", MAX_FRAMES);
        std::exit(KEL_EXIT_RUNTIME);
    }
    frames[live++] = f;
    return 1;
}

// Not inlined into the library's own callers, so that the walk starts from its activation.
[[gnu::noinline]] void _signal_event(kel_string file, int line, kel_string message, int event,
                                     int subevent, int extra)
{
    _kel_event.event = event;
    _kel_event.subevent = subevent;
    _kel_event.extra = extra;

    // The armed frames, innermost first, are matched against the activations on the stack,
    // innermost first: a frame whose activation is not there has returned.
    int next = live - 1, target = -1;
    auto visit = [&](int index, const activation &a) {
        for (; next >= 0 && frames[next].armed_by.cfa <= a.cfa; next--) {
            frame &f = frames[next];
            if (!same(f.armed_by, a))
                continue;
            // A handler signalling from its own activation passes the event outward;
            // events from deeper calls, as when the body has been resumed, are trapped again.
            if (f.handling && index == 1)
                continue;
            if (traps(f, event)) {
                target = next;
                return false;
            }
        }
        return next >= 0;
    };
    walk_callers(visit);
    if (target < 0)
        report_untrapped(file, line, message);
    live = target + 1;
    frame &f = frames[target];
    f.handling = true;
    std::memcpy(_kel_event.jump, f.jump, sizeof f.jump);
    siglongjmp(_kel_event.jump, 1);
}

void kel_raise(int event, int subevent, int extra, const char *format, ...)
{
    kel_string message{};
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(reinterpret_cast<char *>(message.b + 1), 255, format, args);
    va_end(args);
    message.b[0] = static_cast<unsigned char>(n < 0 ? 0 : n > 254 ? 254 : n);
    kel_string file{};
    if (_kel_current_file) {
        std::size_t len = strnlen(_kel_current_file, 255);
        std::memcpy(file.b + 1, _kel_current_file, len);
        file.b[0] = static_cast<unsigned char>(len);
    }
    _signal_event(file, _kel_current_line, message, event, subevent, extra);
    std::abort();   // _signal_event does not return
}
