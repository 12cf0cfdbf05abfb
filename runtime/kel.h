// The kel runtime library as its callers see it: value layouts, entry points, shared objects.
#ifndef KEL_RUNTIME_KEL_H
#define KEL_RUNTIME_KEL_H

#include <csetjmp>
#include <cstddef>

// A kel string: byte 0 the length, bytes 1 to 255 the characters, copied whole.
struct kel_string {
    unsigned char b[256];
};

// The event record. Callers read the first three fields; the jump buffer is the
// one the innermost on-event frame is armed with.
struct kel_event_record {
    int event;
    int subevent;
    int extra;
    unsigned char library_own[520];
    sigjmp_buf jump;
    unsigned char library_tail[4];
};

// One entry of a stream table; only the handle is the callers' business.
struct kel_stream_record {
    int library_own;
    void *handle;
    unsigned char library_rest[268];
};

static_assert(sizeof(kel_string) == 256);
static_assert(sizeof(kel_event_record) == 692);
static_assert(offsetof(kel_event_record, jump) == 532);
static_assert(sizeof(kel_stream_record) == 276);
static_assert(offsetof(kel_stream_record, handle) == 4 && sizeof(void *) == 4);

extern "C" {

void _kel_initialise(int argc, char **argv);

void _kel_printstring(kel_string s);
void _kel_printsymbol(int c);
void _kel_write(int value, int places);
void _kel_writeint(int value, int places);
void _kel_newline(void);
void _kel_space(void);
void _kel_newlines(int count);
void _kel_spaces(int count);
void _kel_printfl(double x, int places);

void _kel_readsymbol(int *c);
int _kel_nextsymbol(void);
void _kel_skipsymbol(void);
void _kel_readint(int *value);
void _kel_readfloat(float *value);

void _kel_openinput(int stream, kel_string name);
void _kel_closeinput(void);
void check_instream(const char *shim);
void check_outstream(const char *shim);

kel_string _kel_itos(int value, int places);
kel_string rtos(float x, int before, int places);
unsigned char *_kel_length(kel_string *s);
int _kel_resolve(kel_string source, kel_string *left, kel_string separator, kel_string *right);
int _kel_zcheck_int(int divisor, const char *name);

int _kel_on_event_enter(kel_event_record *record, ...);
void _signal_event(kel_string file, int line, kel_string message, int event, int subevent,
                   int extra);

extern int _kel_current_line;
extern const char *_kel_current_file;
extern kel_event_record _kel_event;

extern int _kel_InStream;
extern int _kel_OutStream;
extern void *_kel_InFile;
extern void *_kel_OutFile;
extern void *_kel_INFILE;
extern kel_stream_record _kel_infile[];
extern kel_stream_record _kel_outfile[];
extern kel_string _kel_promptstr;
extern int _kel_global_argc;
extern char **_kel_global_argv;
}

#endif
