// The traced build's wrappers: each call a program makes into the kel runtime, with its
// arguments and what came back, recorded in the file that KEL_TRACE_FILE names.
//
// A record is one line per call: "> NAME ARG..." before the call, then "< VALUE..." when it
// returns (its result, then what it stored through its pointer arguments), "! E S X" when an
// event leaves it (the event record's event, sub-event and extra), or "x E S X" when the run
// ends inside it by exit (the event record as it then was, for an event no frame traps). A call
// with none of these after it did not come back either. Values are tokens: iN an int,
// fHEX and dHEX the bits of a 32- and 64-bit real, sHEX a kel string's characters, tHEX a C
// text, "&" a pointer given, "-" a null pointer.
//
// Only calls from the program itself are recorded: --wrap also routes the runtime's calls to
// its own entry points through here, so only the outermost call counts. An event leaves a
// call by a long jump, never by returning, so the jumps are wrapped too and reset the depth.
// The wrappers are weak, so that a test build's own stand-in for an entry point wins.
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <type_traits>
#include <unistd.h>

#include "runtime/kel.h"

namespace {

// The record goes to a descriptor far above those the program and the runtime open, so that
// their files get the numbers they would get untraced. A runaway program makes calls without
// end; past MAX_CALLS the record stops.
enum { TRACE_FD_FLOOR = 200, LINE_BUFFER = 4096, MAX_CALLS = 1000000 };

int trace_fd = -2;   // -2: not opened yet; -1: no record wanted, or it cannot be written
int depth;           // wrapped calls in progress; only the outermost is the program's
bool open_call;      // a call is recorded but not yet its ending
char line[LINE_BUFFER];
int used;
int calls;

void ended_in_call(void);

bool tracing(void)
{
    if (trace_fd == -2) {
        const char *path = std::getenv("KEL_TRACE_FILE");
        int fd = path ? ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
        trace_fd = fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, TRACE_FD_FLOOR);
        if (fd >= 0)
            close(fd);
        if (trace_fd >= 0)
            std::atexit(ended_in_call);
    }
    return trace_fd >= 0;
}

void flush(void)
{
    for (int done = 0; done < used;) {
        ssize_t n = write(trace_fd, line + done, used - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<int>(n);
    }
    used = 0;
}

void emit(char c)
{
    if (used == LINE_BUFFER)
        flush();
    line[used++] = c;
}

void emit(const char *text)
{
    while (*text)
        emit(*text++);
}

void hex(const unsigned char *bytes, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < n; i++) {
        emit(digits[bytes[i] >> 4]);
        emit(digits[bytes[i] & 15]);
    }
}

void bits(char tag, std::uint64_t value, int digits)
{
    emit(' ');
    emit(tag);
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        emit("0123456789abcdef"[(value >> shift) & 15]);
}

void end_line(void)
{
    emit('\n');
    flush();
}

// Arguments as they go in.
void put(int v)
{
    char text[16];
    std::snprintf(text, sizeof text, " i%d", v);
    emit(text);
}

void put(float v)
{
    std::uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    bits('f', b, 8);
}

void put(double v)
{
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    bits('d', b, 16);
}

void put(const kel_string &s)
{
    emit(" s");
    hex(s.b + 1, s.b[0]);
}

void put(const char *text)
{
    if (!text)
        return emit(" -");
    emit(" t");
    hex(reinterpret_cast<const unsigned char *>(text), std::strlen(text));
}

// A pointer the call stores through: whether one was given.
void put(const void *p) { emit(p ? " &" : " -"); }

// What the call stored through its pointer arguments, once it is back.
template <typename T> void put_stored(T) {}
void put_stored(int *p) { p ? put(*p) : emit(" -"); }
void put_stored(float *p) { p ? put(*p) : emit(" -"); }
void put_stored(kel_string *p) { p ? put(*p) : emit(" -"); }

template <typename... A> void stored(A... a) { (put_stored(a), ...); }

// _kel_initialise: what it made of the arguments.
void stored(int, char **)
{
    put(_kel_global_argc);
    for (int i = 0; _kel_global_argv && i < _kel_global_argc && i < 4096; i++)
        put(static_cast<const char *>(_kel_global_argv[i]));
}

template <typename R, typename... A> void result(R r, A... a)
{
    put(r);
    stored(a...);
}

// _kel_resolve stores its parts only when it finds the separator.
void result(int found, kel_string, kel_string *left, kel_string, kel_string *right)
{
    put(found);
    if (found)
        stored(left, right);
}

// _kel_length: where the returned pointer points, counted from the string's first byte.
void result(unsigned char *length, kel_string *s) { put(static_cast<int>(length - s->b)); }

// How a recorded call ended when it did not return: the event record, as the event left it.
void event_line(char mark)
{
    emit(mark);
    put(_kel_event.event);
    put(_kel_event.subevent);
    put(_kel_event.extra);
    end_line();
}

void ended_in_call(void)
{
    if (open_call)
        event_line('x');
    open_call = false;
}

template <typename... A> void begin(const char *name, A... a)
{
    if (!tracing() || ++calls > MAX_CALLS)
        return;
    emit('>');
    emit(' ');
    emit(name);
    (put(a), ...);
    end_line();
    open_call = true;
}

// Whether the call now back is the outermost one and recorded: then its line is begun.
bool back(void)
{
    if (--depth != 0 || !open_call)
        return false;
    emit('<');
    open_call = false;
    return true;
}

template <typename R, typename... A>
R traced(const char *name, R (*real)(A...), std::type_identity_t<A>... a)
{
    if (depth++ == 0)
        begin(name, a...);
    if constexpr (std::is_void_v<R>) {
        real(a...);
        if (back()) {
            stored(a...);
            end_line();
        }
    } else {
        R r = real(a...);
        if (back()) {
            result(r, a...);
            end_line();
        }
        return r;
    }
}

// A jump out of the runtime is an event reaching one of the program's frames: the call in
// progress ends there, and the program runs on at its own level.
void left_by_event(void)
{
    if (open_call)
        event_line('!');
    open_call = false;
    depth = 0;
}

}  // namespace

#define TRACED(R, name, params, ...)                                                  \
    extern "C" R __real_##name params;                                                \
    extern "C" [[gnu::weak]] R __wrap_##name params                                   \
    {                                                                                 \
        return traced(#name, __real_##name __VA_OPT__(, ) __VA_ARGS__);               \
    }

TRACED(void, _kel_initialise, (int argc, char **argv), argc, argv)
TRACED(void, _kel_printstring, (kel_string s), s)
TRACED(void, _kel_printsymbol, (int c), c)
TRACED(void, _kel_write, (int value, int places), value, places)
TRACED(void, _kel_writeint, (int value, int places), value, places)
TRACED(void, _kel_newline, (void))
TRACED(void, _kel_space, (void))
TRACED(void, _kel_newlines, (int count), count)
TRACED(void, _kel_spaces, (int count), count)
TRACED(void, _kel_printfl, (double x, int places), x, places)
TRACED(void, _kel_readsymbol, (int *c), c)
TRACED(int, _kel_nextsymbol, (void))
TRACED(void, _kel_skipsymbol, (void))
TRACED(void, _kel_readint, (int *value), value)
TRACED(void, _kel_readfloat, (float *value), value)
TRACED(void, _kel_openinput, (int stream, kel_string name), stream, name)
TRACED(void, _kel_closeinput, (void))
TRACED(void, check_instream, (const char *shim), shim)
TRACED(void, check_outstream, (const char *shim), shim)
TRACED(kel_string, _kel_itos, (int value, int places), value, places)
TRACED(kel_string, rtos, (float x, int before, int places), x, before, places)
TRACED(unsigned char *, _kel_length, (kel_string * s), s)
TRACED(int, _kel_resolve, (kel_string source, kel_string *left, kel_string separator, kel_string *right),
       source, left, separator, right)
TRACED(int, _kel_zcheck_int, (int divisor, const char *name), divisor, name)

#define LEAVING(jump)                                                                 \
    extern "C" [[noreturn]] void __real_##jump(__jmp_buf_tag *env, int value);       \
    extern "C" [[noreturn, gnu::weak]] void __wrap_##jump(__jmp_buf_tag *env, int value) \
    {                                                                                 \
        left_by_event();                                                              \
        __real_##jump(env, value);                                                    \
    }

LEAVING(siglongjmp)
LEAVING(longjmp)
LEAVING(_longjmp)
LEAVING(__longjmp_chk)

// Arming and signalling look at the call stack: the runtime knows a frame by the activation
// that armed it, and a handler's own signal by the activation that makes it. A wrapper's
// activation would stand in the program's place there, so these two are not called but
// jumped to, after their arguments have been recorded from the stack as the program left it.
// Their results are not recorded: an armed frame's answer shows in what the program does
// next, and a signal's in the event that ends it ("!").
extern "C" void kel_trace_arming(const int *args)
{
    if (depth != 0 || !tracing() || ++calls > MAX_CALLS)
        return;
    emit("> _kel_on_event_enter");
    put(reinterpret_cast<const void *>(args[0]));
    for (int i = 1; i <= 64 && args[i] != -1; i++)
        put(args[i]);
    end_line();
}

extern "C" void kel_trace_signal(const unsigned char *args)
{
    kel_string file, message;
    int numbers[4];
    std::memcpy(&file, args, sizeof file);
    std::memcpy(&numbers[0], args + 256, sizeof(int));
    std::memcpy(&message, args + 260, sizeof message);
    std::memcpy(&numbers[1], args + 516, 3 * sizeof(int));
    if (depth == 0)
        begin("_signal_event", file, numbers[0], message, numbers[1], numbers[2], numbers[3]);
}

// i386: the arguments start above the return address. The stack is kept 16-byte aligned
// at the recording call, as the ABI has it.
#define KEL_JUMP_WRAPPER(name, recorder)             \
    ".text\n"                                        \
    ".weak __wrap_" name "\n"                        \
    ".type __wrap_" name ", @function\n"             \
    "__wrap_" name ":\n"                             \
    "    leal 4(%esp), %eax\n"                       \
    "    subl $8, %esp\n"                            \
    "    pushl %eax\n"                               \
    "    call " recorder "\n"                        \
    "    addl $12, %esp\n"                           \
    "    jmp __real_" name "\n"                      \
    ".size __wrap_" name ", .-__wrap_" name "\n"

asm(KEL_JUMP_WRAPPER("_kel_on_event_enter", "kel_trace_arming")
    KEL_JUMP_WRAPPER("_signal_event", "kel_trace_signal"));
