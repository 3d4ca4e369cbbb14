/* endless_program.exe - stands in for EdccaProvision.exe in the kit's tests
 * (kit_test.py): writes the first line of a trace and never ends, so that
 * the kit must end it after its time. */
#include <stdio.h>
#include <windows.h>

int main(void) {
    fputs("--> DetectAdapter()\n", stdout);
    fflush(stdout);
    for (;;) {
        Sleep(1000);
    }
}
