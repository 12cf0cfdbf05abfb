// What the fuzz targets share: the runtime started once, each input run on fresh standard
// streams whose output is kept, and the ends of a run (exit, an untrapped event) brought back.
#ifndef FUZZ_HARNESS_H
#define FUZZ_HARNESS_H

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "kelrt/internal.h"

// The runtime's fault handler would take SIGSEGV from the sanitizer, which then could not
// report a wild access; the fuzz builds keep the sanitizer's.
extern "C" const char *__asan_default_options(void) { return "allow_user_segv_handler=0"; }

// A field wider than this many characters costs time in proportion to its width, and is laid
// out as the narrower ones are; inputs asking for one are passed over.
enum { FUZZ_WIDEST_FIELD = 1 << 16 };

struct fuzz_run {
    int status;            // exit status; -1 while the routine returned normally
    std::string out, err;  // what it wrote to standard output and standard error
};

namespace fuzz_detail {

inline sigjmp_buf back;
inline bool running;
inline int status;
inline int in_fd = -1, out_fd = -1;

inline int memory_file(const char *name)
{
    int fd = memfd_create(name, 0);
    if (fd < 0)
        std::abort();
    return fd;
}

inline std::string contents(int fd)
{
    std::string text(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
    if (pread(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        std::abort();
    return text;
}

}  // namespace fuzz_detail

// Linked with -Wl,--wrap=exit: a target's exit ends its run, not the fuzzer.
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (!fuzz_detail::running)
        __real_exit(status);
    fuzz_detail::running = false;
    fuzz_detail::status = status;
    siglongjmp(fuzz_detail::back, 1);
}

// Runs `body` with the bytes as standard input; an exit from it ends the run with that status.
template <typename Body>
fuzz_run fuzz_call(const std::uint8_t *data, std::size_t size, Body body)
{
    using namespace fuzz_detail;
    static bool started;
    if (!started) {
        static char name[] = "fuzz";
        static char *argv[] = {name, nullptr};
        _kel_initialise(1, argv);
        in_fd = memory_file("stdin");
        out_fd = memory_file("stdout");
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        started = true;
    }
    if (ftruncate(in_fd, 0) < 0 || pwrite(in_fd, data, size, 0) != static_cast<ssize_t>(size) ||
        lseek(0, 0, SEEK_SET) < 0 || ftruncate(out_fd, 0) < 0 || lseek(1, 0, SEEK_SET) < 0)
        std::abort();
    kel_standard_input.pos = kel_standard_input.len = 0;
    kel_standard_input.ended = false;
    kel_standard_output.pos = 0;
    _kel_InStream = _kel_OutStream = 0;
    _kel_InFile = _kel_INFILE = &kel_standard_input;
    _kel_OutFile = &kel_standard_output;

    char *err_text = nullptr;
    std::size_t err_size = 0;
    FILE *saved_stderr = stderr;
    stderr = open_memstream(&err_text, &err_size);
    status = -1;
    running = true;
    if (sigsetjmp(back, 1) == 0)
        body();
    running = false;
    kel_flush_all();
    std::fclose(stderr);
    stderr = saved_stderr;
    fuzz_run run{status, contents(out_fd), std::string(err_text, err_size)};
    std::free(err_text);
    return run;
}

// A finding: the input made the routine break a rule that holds for every input.
#define FUZZ_REQUIRE(condition, run)                                                          \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "fuzz: %s fails at %s:%d; status %d, stdout \"%.200s\", "  \
                                 "stderr \"%.200s\"\n",                                       \
                         #condition, __FILE__, __LINE__, (run).status, (run).out.c_str(),     \
                         (run).err.c_str());                                                  \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// Arguments taken from the input's bytes, every bit pattern possible; zeros past its end.
struct fuzz_arguments {
    const std::uint8_t *data;
    std::size_t size;

    template <typename T>
    T take()
    {
        T value;
        std::uint8_t bytes[sizeof(T)] = {};
        std::size_t n = size < sizeof(T) ? size : sizeof(T);
        std::memcpy(bytes, data, n);
        data += n;
        size -= n;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
};

// A layout's text: only the characters a number's layout uses.
inline bool fuzz_number_text(const std::string &text)
{
    return text.find_first_not_of(" -+.0123456789@InfNa") == std::string::npos;
}

// A field's text after the spaces that open it.
inline std::string fuzz_unpadded(const std::string &text)
{
    std::size_t start = text.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : text.substr(start);
}

// The digits of a layout's text before its "@".
inline int fuzz_mantissa_digits(const std::string &text)
{
    int n = 0;
    for (std::size_t i = 0; i < text.size() && text[i] != '@'; i++)
        n += text[i] >= '0' && text[i] <= '9';
    return n;
}

// The value that a layout's text reads back as: "@" is the exponent marker, and a space may
// stand for the exponent's sign. In long double, whose range takes a double rounded up past
// the largest double.
inline long double fuzz_read_back(const std::string &text)
{
    std::string c_text;
    for (char c : text)
        if (c == '@')
            c_text += 'e';
        else if (c != ' ' || c_text.empty() || c_text.back() != 'e')
            c_text += c;
    return std::strtold(c_text.c_str(), nullptr);
}

// Whether the text reads back as x to within a unit of its last significant digit (plus a
// relative `slack` for the rounding of the routine's own arithmetic).
inline bool fuzz_reads_back(const std::string &text, double x, double slack)
{
    std::size_t mantissa_end = std::min(text.find('@'), text.size());
    std::size_t first = text.find_first_of("123456789");
    int significant = 0;
    for (std::size_t i = first; i < mantissa_end; i++)
        significant += text[i] >= '0' && text[i] <= '9';
    if (first >= mantissa_end)
        return false;   // a value that is not zero shows a digit that is not zero
    long double unit = std::pow(10.0L, 1 - std::min(significant, 400));
    return std::fabs(fuzz_read_back(text) - x) <= (unit + slack) * std::fabs(static_cast<long double>(x));
}

// A routine that returned normally, with nothing on standard error.
#define FUZZ_RETURNED(run) FUZZ_REQUIRE((run).status == -1 && (run).err.empty(), run)

#endif
