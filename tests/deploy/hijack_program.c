/* hijack_program.exe - planted under the kit's names where no kit may run it
 * (kit_test.py): appends its command line to C:\hijacked.txt and fails, so
 * that a run of it shows. */
#include <stdio.h>
#include <windows.h>

int main(void) {
    FILE *file = fopen("C:\\hijacked.txt", "a");
    if (file != NULL) {
        fprintf(file, "%s\n", GetCommandLineA());
        fclose(file);
    }
    return 1;
}
