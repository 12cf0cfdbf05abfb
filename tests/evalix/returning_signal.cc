// An event layer in place of the bundled library's whose signals return to the signaller, so a
// test sees the position each report of evalix passes and what evalix does if a signal returns.
#include <cstdio>
#include <cstdlib>

#include "kelrt/internal.h"

int _kel_current_line;
const char *_kel_current_file;
kel_event_record _kel_event;

int _kel_on_event_enter(kel_event_record *, ...) { return 1; }

void _signal_event(kel_string file, int line, kel_string message, int event, int subevent,
                   int extra)
{
    kel_flush_all();
    std::fprintf(stderr, "[event %d.%d.%d at %.*s:%d \"%.*s\"]\n", event, subevent, extra,
                 file.b[0], reinterpret_cast<const char *>(file.b + 1), line, message.b[0],
                 reinterpret_cast<const char *>(message.b + 1));
}

// The library's own events, the end of input among them, end the run.
void kel_raise(int event, int, int, const char *, ...)
{
    kel_flush_all();
    std::fprintf(stderr, "[library event %d]\n", event);
    std::exit(0);
}
