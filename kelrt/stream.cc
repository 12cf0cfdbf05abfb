// Streams: the stream tables, buffered input and output, selection checks, files, the prompt.
// Files of 2 GiB and more open and read like any other: sizes and offsets are 64-bit.
#define _FILE_OFFSET_BITS 64
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelrt/internal.h"

kel_file kel_standard_input = {0, false, false, 0, 0, "standard input", {}};
kel_file kel_standard_output = {1, false, false, 0, 0, "standard output", {}};

kel_stream_record _kel_infile[KEL_STREAMS] = {{0, &kel_standard_input, {}}};
kel_stream_record _kel_outfile[KEL_STREAMS] = {{0, &kel_standard_output, {}}};
int _kel_InStream;
int _kel_OutStream;
void *_kel_InFile = &kel_standard_input;
void *_kel_OutFile = &kel_standard_output;
void *_kel_INFILE = &kel_standard_input;
kel_string _kel_promptstr;

namespace {

kel_file opened[KEL_STREAMS];

kel_file *output(void)
{
    return static_cast<kel_file *>(_kel_OutFile);
}

// Lost output is reported, never passed over: the run ends with the library's status.
[[noreturn]] void output_failed(kel_file *f, int error)
{
    f->pos = 0;
    char message[320];
    int n = snprintf(message, sizeof message, "kel: cannot write to %s: %s\n", f->name,
                     strerror(error));
    if (write(2, message, n) < 0) {
        // nothing more can be said
    }
    _exit(KEL_EXIT_RUNTIME);
}

void show_prompt(void)
{
    kel_file *out = &kel_standard_output;
    kel_flush_all();
    for (int i = 1; i <= _kel_promptstr.b[0]; i++)
        out->buf[out->pos++] = _kel_promptstr.b[i];
    kel_flush(out);
}

bool fill(kel_file *f)
{
    if (f->ended)
        return false;
    if (f->tty)
        show_prompt();
    ssize_t n;
    do
        n = read(f->fd, f->buf, sizeof f->buf);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        kel_raise(KEL_EVENT_STREAM, 3, 0, "cannot read %s: %s", f->name, strerror(errno));
    f->pos = 0;
    f->len = static_cast<int>(n);
    f->ended = n == 0;
    return n > 0;
}

}  // namespace

int kel_write_out(const kel_file *f)
{
    for (int done = 0; done < f->pos;) {
        ssize_t n = write(f->fd, f->buf + done, f->pos - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += static_cast<int>(n);
    }
    return 0;
}

void kel_flush(kel_file *f)
{
    if (int error = kel_write_out(f))
        output_failed(f, error);
    f->pos = 0;
}

void kel_flush_all(void)
{
    kel_flush(&kel_standard_output);
}

void kel_put(const char *text, std::size_t n)
{
    kel_file *f = output();
    bool line_end = false;
    while (n > 0) {
        if (f->pos == KEL_BUFFER)
            kel_flush(f);
        std::size_t room = KEL_BUFFER - f->pos, k = n < room ? n : room;
        std::memcpy(f->buf + f->pos, text, k);
        line_end = line_end || std::memchr(text, '\n', k);
        f->pos += static_cast<int>(k);
        text += k;
        n -= k;
    }
    if (f->tty && line_end)
        kel_flush(f);
}

// A run of one character, up to a field of 2^31 columns, fills the buffer a whole block at a time.
void kel_put_repeated(char c, long long n)
{
    kel_file *f = output();
    while (n > 0) {
        if (f->pos == KEL_BUFFER)
            kel_flush(f);
        long long room = KEL_BUFFER - f->pos, k = n < room ? n : room;
        std::memset(f->buf + f->pos, c, k);
        f->pos += static_cast<int>(k);
        n -= k;
    }
    if (f->tty && c == '\n')
        kel_flush(f);
}

// A selection made by the variant that sets only the second handle takes effect here.
kel_file *kel_input(void)
{
    if (_kel_INFILE != _kel_InFile)
        _kel_InFile = _kel_INFILE;
    if (!_kel_InFile)
        kel_raise(KEL_EVENT_STREAM, 2, _kel_InStream, "no input stream %d", _kel_InStream);
    return static_cast<kel_file *>(_kel_InFile);
}

int kel_peek_or_end(kel_file *f)
{
    if (f->pos == f->len && !fill(f))
        return -1;
    return f->buf[f->pos];
}

int kel_peek(kel_file *f)
{
    int c = kel_peek_or_end(f);
    if (c < 0)
        kel_raise(KEL_EVENT_INPUT_ENDED, 0, 0, "input ended: %s", f->name);
    return c;
}

int kel_take(kel_file *f)
{
    int c = kel_peek(f);
    f->pos++;
    return c;
}

void check_instream(const char *shim)
{
    if (!_kel_InFile)
        kel_raise(KEL_EVENT_STREAM, 2, _kel_InStream, "%s: no input stream %d", shim,
                  _kel_InStream);
    _kel_INFILE = _kel_InFile;
}

void check_outstream(const char *shim)
{
    if (!_kel_OutFile)
        kel_raise(KEL_EVENT_STREAM, 2, _kel_OutStream, "%s: no output stream %d", shim,
                  _kel_OutStream);
}

void _kel_openinput(int stream, kel_string name)
{
    if (stream < 1 || stream >= KEL_STREAMS)
        kel_raise(KEL_EVENT_STREAM, 2, stream, "no input stream %d to open", stream);
    kel_file *f = &opened[stream];
    std::memcpy(f->name, name.b + 1, name.b[0]);
    f->name[name.b[0]] = 0;
    if (_kel_infile[stream].handle == f)
        close(f->fd);
    _kel_infile[stream].handle = nullptr;
    // Opened without waiting, so that a pipe with no writer reads as empty instead of
    // holding the program at the open; reads then wait as usual.
    int fd = open(f->name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    int error = fd < 0                                       ? errno
                : fstat(fd, &st) < 0                         ? errno
                : S_ISDIR(st.st_mode)                        ? EISDIR
                : fcntl(fd, F_SETFL, O_RDONLY) < 0           ? errno
                                                             : 0;
    if (error) {
        if (fd >= 0)
            close(fd);
        kel_raise(KEL_EVENT_STREAM, 1, stream, "cannot open %s: %s", f->name, strerror(error));
    }
    f->fd = fd;
    f->tty = isatty(fd);
    f->ended = false;
    f->pos = f->len = 0;
    _kel_infile[stream].handle = f;
}

void _kel_closeinput(void)
{
    kel_file *f = kel_input();
    if (f != &kel_standard_input) {
        close(f->fd);
        for (kel_stream_record &r : _kel_infile)
            if (r.handle == f)
                r.handle = nullptr;
    }
    _kel_InStream = 0;
    _kel_InFile = _kel_INFILE = &kel_standard_input;
}
