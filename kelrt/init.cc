// Start-up: the argument vector, output flushed at exit, and a clear end for an exhausted stack.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/ucontext.h>
#include <unistd.h>

#include "kelrt/internal.h"

int _kel_global_argc;
char **_kel_global_argv;

namespace {

char empty_text[] = "";
alignas(16) char alternate_stack[65536];

void flush_at_exit(void) { kel_flush_all(); }

// A fault next to the stack pointer is the stack running out; any other fault is left
// to kill the process as it would have.
void on_fault(int signal, siginfo_t *info, void *context)
{
    auto *uc = static_cast<ucontext_t *>(context);
    auto sp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_ESP]);
    auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (addr + 65536 >= sp && addr <= sp + 4096) {
        // The output computed before the stack ran out, as far as it can be written.
        (void)kel_write_out(&kel_standard_output);
        static const char message[] = "kel: stack exhausted (nesting too deep)\n";
        if (write(2, message, sizeof message - 1) < 0) {
            // nothing more can be said
        }
        _exit(KEL_EXIT_RUNTIME);
    }
    std::signal(signal, SIG_DFL);
}

void guard_stack(void)
{
    stack_t alternate = {};
    alternate.ss_sp = alternate_stack;
    alternate.ss_size = sizeof alternate_stack;
    sigaltstack(&alternate, nullptr);
    struct sigaction action = {};
    action.sa_sigaction = on_fault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
    sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

// The vector holds an empty text at argc and argc + 1, where the argument listing looks.
void _kel_initialise(int argc, char **argv)
{
    _kel_global_argc = argc;
    _kel_global_argv = static_cast<char **>(std::malloc((argc + 3) * sizeof(char *)));
    if (!_kel_global_argv)
        std::abort();
    std::memcpy(_kel_global_argv, argv, argc * sizeof(char *));
    _kel_global_argv[argc] = _kel_global_argv[argc + 1] = empty_text;
    _kel_global_argv[argc + 2] = nullptr;

    kel_standard_input.tty = isatty(0);
    kel_standard_output.tty = isatty(1);
    std::atexit(flush_at_exit);
    guard_stack();
}
