/* entry.c - the process entry point of EdccaProvision.exe.
 *
 * It replaces MinGW's start-up code, of which the program needs only this:
 * run the static constructors, if any, and call WinMain with the module, the
 * command line after the program name and the show state, as the Windows
 * GUI start-up does. The program gives up the rest, and the link options in
 * CMakeLists.txt make any use of it an error: atexit (nothing would run the
 * registered functions, since every end is ExitProcess) and the runtime
 * pseudo-relocations of data imported without dllimport. */

#include <windows.h>
#include <stdio.h>

/* The linker script places the static constructors between these: -1, the
 * constructors' addresses, 0. */
extern void (*__CTOR_LIST__[])(void);
/* The image's own DOS header: the module handle, without a call. */
extern IMAGE_DOS_HEADER __ImageBase;

/* The part of a command line after the program name and the blanks that
 * follow it. A quoted name ends at the closing quote. */
static char *SkipProgramName(char *line) {
    int quoted = 0;
    for (; *line != '\0' && (quoted || (*line != ' ' && *line != '\t')); ++line) {
        if (*line == '"') {
            quoted = !quoted;
        }
    }
    while (*line == ' ' || *line == '\t') {
        ++line;
    }
    return line;
}

/* Windows calls this with a stack aligned to 4 bytes only. */
__attribute__((force_align_arg_pointer, noreturn)) void EdccaEntry(void) {
    size_t count = 0;
    while (__CTOR_LIST__[count + 1] != NULL) {
        ++count;
    }
    for (; count > 0; --count) { /* in reverse order, as libgcc runs them */
        __CTOR_LIST__[count]();
    }

    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    int const show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
    WinMain((HINSTANCE)&__ImageBase, NULL, SkipProgramName(GetCommandLineA()), show);

    /* WinMain ends the process itself; should it ever return, end it the same
     * way (fflush(NULL) flushes standard output with every other stream). */
    fflush(NULL);
    ExitProcess(0);
}
