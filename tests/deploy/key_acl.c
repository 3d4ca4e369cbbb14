/* key_acl.exe KEY SDDL - creates HKEY_LOCAL_MACHINE\KEY if need be and sets
 * its DACL from SDDL, so that the kit's tests can deny writing to a key
 * (Wine's server holds registry keys to their DACLs). Exit code 0 on
 * success. */
#include <windows.h>
#include <sddl.h>
#include <stdio.h>

int main(int argc, char **argv) {
    HKEY key;
    PSECURITY_DESCRIPTOR descriptor;
    LONG result;

    if (argc != 3) {
        fprintf(stderr, "usage: key_acl KEY SDDL\n");
        return 2;
    }
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(argv[2], SDDL_REVISION_1, &descriptor, NULL)) {
        fprintf(stderr, "key_acl: bad SDDL (%lu)\n", GetLastError());
        return 1;
    }
    result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, NULL, 0, WRITE_DAC, NULL, &key, NULL);
    if (result == ERROR_SUCCESS) {
        result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    if (result != ERROR_SUCCESS) {
        fprintf(stderr, "key_acl: %s: error %ld\n", argv[1], result);
    }
    return result == ERROR_SUCCESS ? 0 : 1;
}
