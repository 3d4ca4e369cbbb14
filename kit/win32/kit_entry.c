/* kit_entry.c - the process entry point of EdccaKit.exe.
 *
 * Like the program's entry.c, it replaces MinGW's start-up code: it runs the
 * static constructors, if any, calls KitMain with the command line (the
 * program's name is read apart by the kit's core, kit::SkipProgramName), and
 * ends the process with KitMain's exit code. */

#include <windows.h>
#include <stdio.h>

/* kit_main.cpp: takes the whole command line, returns the exit code. */
int KitMain(const char *commandLine);

/* The linker script places the static constructors between these: -1, the
 * constructors' addresses, 0. */
extern void (*__CTOR_LIST__[])(void);

/* Windows calls this with a stack aligned to 4 bytes only. */
__attribute__((force_align_arg_pointer, noreturn)) void KitEntry(void) {
    size_t count = 0;
    while (__CTOR_LIST__[count + 1] != NULL) {
        ++count;
    }
    for (; count > 0; --count) { /* in reverse order, as libgcc runs them */
        __CTOR_LIST__[count]();
    }
    int const code = KitMain(GetCommandLineA());
    fflush(NULL);
    ExitProcess((UINT)code);
}
