/* Linked into the programs of a coverage build with --wrap=_exit: a run that ends in _exit
   (output that cannot be written, an exhausted stack) writes its line counts first, as exit does;
   so does a run that SIGPIPE ends (a write to a pipe whose reader has gone), which then still
   dies by that signal. A program that starts with SIGPIPE ignored keeps it ignored. */
#include <signal.h>

extern void __gcov_dump(void);
extern void __real__exit(int status) __attribute__((noreturn));

void __wrap__exit(int status)
{
    __gcov_dump();
    __real__exit(status);
}

/* The handler is reset on entry, so the signal raised again ends the run once it returns. */
static void dump_then_die(int number)
{
    __gcov_dump();
    raise(number);
}

__attribute__((constructor)) static void dump_at_a_broken_pipe(void)
{
    struct sigaction now;
    if (sigaction(SIGPIPE, 0, &now) != 0 || now.sa_handler != SIG_DFL)
        return;
    struct sigaction dump = {0};
    dump.sa_handler = dump_then_die;
    dump.sa_flags = SA_RESETHAND;
    sigemptyset(&dump.sa_mask);
    sigaction(SIGPIPE, &dump, 0);
}
