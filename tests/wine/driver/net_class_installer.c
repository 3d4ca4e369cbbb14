/* net_class_installer.c - the network class's installer as Windows has it
 * (NetCfgx.dll's NetClassInstaller), which Wine lacks: Wine's netcfgx.dll
 * stub ends the process that calls it. Every real network class key names
 * it ("Installer32"="NetCfgx.dll,NetClassInstaller"), and SetupAPI calls it
 * when a device information set is destroyed (DIF_DESTROYPRIVATEDATA). For
 * every request it asks for SetupAPI's default handling, as Windows' installer
 * does for the requests the program's calls cause. */
#include <windows.h>

#define ERROR_DI_DO_DEFAULT 0xE000020EUL

DWORD WINAPI NetClassInstaller(UINT function, void *devices, void *device) {
    (void)function;
    (void)devices;
    (void)device;
    return ERROR_DI_DO_DEFAULT;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void *reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
