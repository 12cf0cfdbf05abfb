// Events: the source position, on-event frames, signalling and the report of an untrapped event.
//
// The record has one jump buffer, so each armed frame keeps its own copy and the
// library puts it back before jumping. No call says when a block or handler ends, so
// the library reads the stack: a frame is identified by the stack depth of the routine
// that armed it, taken at the arming call, and a signal by the depth of its caller.
// Callers pass arguments by pushing them (the suite's i386 convention), so depth plus
// the 16-byte-aligned argument area is the calling routine's own stack base in both.
// Two routines called one after the other from the same place share a stack base, so
// a frame also records its routine, found from the return address through the
// unwinder's tables: at the base of a frame, a signal from another routine means the
// frame's own routine has returned.
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

struct frame {
    sigjmp_buf jump;
    std::uintptr_t base;      // stack base of the routine that armed it
    std::uintptr_t routine;   // where that routine starts
    bool handling;         // its handler has been entered
    int trapped_count;
    int trapped[MAX_TRAPPED];
};

frame frames[MAX_FRAMES];
int live;   // frames[0 .. live-1], outermost first

std::uintptr_t caller_base(const void *first_argument, std::size_t argument_bytes)
{
    return reinterpret_cast<std::uintptr_t>(first_argument) + ((argument_bytes + 15) & ~15u);
}

extern "C" const void *_Unwind_Find_FDE(const void *pc, struct dwarf_eh_bases *bases);
struct dwarf_eh_bases {
    void *tbase, *dbase, *func;
};

// The start of the routine that a return address lies in (0 where no tables say).
std::uintptr_t routine_of(const void *return_address)
{
    dwarf_eh_bases bases = {};
    if (!_Unwind_Find_FDE(static_cast<const char *>(return_address) - 1, &bases))
        return 0;
    return reinterpret_cast<std::uintptr_t>(bases.func);
}

bool traps(const frame &f, int event)
{
    for (int i = 0; i < f.trapped_count; i++)
        if (f.trapped[i] == event)
            return true;
    return false;
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
    f.base = caller_base(&record, sizeof(int) * (f.trapped_count + 2));
    f.routine = routine_of(__builtin_return_address(0));
    std::memcpy(f.jump, record->jump, sizeof f.jump);

    // Frames at this depth or deeper belong to routines that have returned, or to
    // this routine arming again.
    while (live > 0 && frames[live - 1].base <= f.base)
        live--;
    if (live == MAX_FRAMES) {
        kel_flush_all();
        std::fprintf(stderr, "kel: more than %d on-event frames armed at once\n", MAX_FRAMES);
        std::exit(KEL_EXIT_RUNTIME);
    }
    frames[live++] = f;
    return 1;
}

void _signal_event(kel_string file, int line, kel_string message, int event, int subevent,
                   int extra)
{
    std::uintptr_t base = caller_base(&file, 2 * sizeof(kel_string) + 4 * sizeof(int));
    std::uintptr_t routine = routine_of(__builtin_return_address(0));
    _kel_event.event = event;
    _kel_event.subevent = subevent;
    _kel_event.extra = extra;

    // A frame deeper than the signalling routine, or at its base but armed by another
    // routine, was armed by a routine that has returned.
    while (live > 0 && (frames[live - 1].base < base ||
                        (frames[live - 1].base == base && frames[live - 1].routine != routine)))
        live--;
    for (int i = live - 1; i >= 0; i--) {
        frame &f = frames[i];
        // A handler signalling from its own routine passes the event outward; events
        // from deeper calls, as when the body has been resumed, are trapped again.
        if (f.handling && f.base == base)
            continue;
        if (traps(f, event)) {
            live = i + 1;
            f.handling = true;
            std::memcpy(_kel_event.jump, f.jump, sizeof f.jump);
            siglongjmp(_kel_event.jump, 1);
        }
    }
    report_untrapped(file, line, message);
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
