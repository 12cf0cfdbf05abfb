// Test access to the bundled library's streams: input from a text, output captured as text.
#ifndef TESTS_RUNTIME_STREAMS_H
#define TESTS_RUNTIME_STREAMS_H

#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "kelrt/internal.h"

// Makes `text` the selected input stream.
inline void feed(const std::string &text)
{
    static kel_file in;
    if (in.fd > 0)
        close(in.fd);
    in = kel_file{};
    in.fd = memfd_create("kel-input", 0);
    if (write(in.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::abort();
    lseek(in.fd, 0, SEEK_SET);
    snprintf(in.name, sizeof in.name, "test input");
    _kel_InFile = _kel_INFILE = &in;
}

// Runs `body` with the selected output going to a fresh file, and returns what it wrote.
template <typename Body>
std::string captured(Body body)
{
    static kel_file out;
    out = kel_file{};
    out.fd = memfd_create("kel-output", 0);
    void *saved = _kel_OutFile;
    _kel_OutFile = &out;
    body();
    kel_flush(&out);
    _kel_OutFile = saved;
    std::string text(static_cast<std::size_t>(lseek(out.fd, 0, SEEK_END)), '\0');
    if (pread(out.fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        std::abort();
    close(out.fd);
    return text;
}

#endif
