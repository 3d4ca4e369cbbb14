// kit_lock.cpp - the kit's lock: a named kernel mutex, which Windows gives
// up when its holder ends, however it ends (WAIT_ABANDONED).
//
// Its name must be one a standard user cannot take first: a mutex in the
// global namespace ("Global\...") may be created by any user, and its
// creator sets its security. From Vista on the mutex lives in a private
// namespace whose boundary holds the Administrators SID: only a process
// whose token holds that group (SYSTEM, an elevated administrator) can create
// or open the namespace. Windows XP and Wine lack private namespaces (the
// calls are looked up at run time, so that the program loads there): the
// mutex is "Global\EdccaProvision.Lock", taken only when SYSTEM,
// Administrators or this run's own account owns it.

#include "kit/win32/kit_shell.h"

namespace shell {
namespace {

constexpr char kLockSecurity[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr wchar_t kNamespaceName[] = L"EdccaProvision";
constexpr wchar_t kPrivateMutexName[] = L"EdccaProvision\\Lock";
constexpr wchar_t kGlobalMutexName[] = L"Global\\EdccaProvision.Lock";
constexpr DWORD kRetryMs = 500;

using CreateBoundaryDescriptorWCall = HANDLE(WINAPI *)(LPCWSTR, ULONG);
using AddSidToBoundaryDescriptorCall = BOOL(WINAPI *)(HANDLE *, PSID);
using CreatePrivateNamespaceWCall = HANDLE(WINAPI *)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
using OpenPrivateNamespaceWCall = HANDLE(WINAPI *)(LPVOID, LPCWSTR);

HANDLE heldMutex = nullptr;
HANDLE heldNamespace = nullptr;

// Takes the security attributes. Returns the private namespace, created or
// opened, or nullptr (*missing set when this Windows has none).
HANDLE OpenLockNamespace(SECURITY_ATTRIBUTES *attributes, bool *missing) {
    auto const createBoundary = FindKernelCall<CreateBoundaryDescriptorWCall>("CreateBoundaryDescriptorW");
    auto const addSid = FindKernelCall<AddSidToBoundaryDescriptorCall>("AddSIDToBoundaryDescriptor");
    auto const createNamespace = FindKernelCall<CreatePrivateNamespaceWCall>("CreatePrivateNamespaceW");
    auto const openNamespace = FindKernelCall<OpenPrivateNamespaceWCall>("OpenPrivateNamespaceW");
    auto const deleteBoundary = FindKernelCall<VOID(WINAPI *)(HANDLE)>("DeleteBoundaryDescriptor");
    *missing = createBoundary == nullptr || addSid == nullptr || createNamespace == nullptr ||
               openNamespace == nullptr || deleteBoundary == nullptr;
    if (*missing) {
        return nullptr;
    }
    HANDLE boundary = createBoundary(kNamespaceName, 0);
    if (boundary == nullptr) {
        *missing = GetLastError() == ERROR_CALL_NOT_IMPLEMENTED;
        return nullptr;
    }
    alignas(8) BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof administrators;
    HANDLE space = nullptr;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize) != 0 &&
        addSid(&boundary, administrators) != 0) {
        space = createNamespace(attributes, boundary, kNamespaceName);
        if (space == nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
            space = openNamespace(boundary, kNamespaceName);
        }
    }
    deleteBoundary(boundary);
    return space;
}

// Takes a mutex that existed before this run opened it. Returns whether
// SYSTEM, Administrators or this run's own account owns it.
bool IsOwnedByAdministration(HANDLE mutex) {
    alignas(8) BYTE ownerBuffer[SECURITY_MAX_SID_SIZE + 64]; // a self-relative descriptor with its owner
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    DWORD needed = 0;
    if (GetKernelObjectSecurity(mutex, OWNER_SECURITY_INFORMATION, ownerBuffer, sizeof ownerBuffer, &needed) == 0 ||
        GetSecurityDescriptorOwner(ownerBuffer, &owner, &defaulted) == 0 || owner == nullptr) {
        return false;
    }
    if (IsWellKnownSid(owner, WinLocalSystemSid) != 0 || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) != 0) {
        return true;
    }
    bool same = false;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != 0) {
        alignas(8) BYTE userBuffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD size = 0;
        if (GetTokenInformation(token, TokenUser, userBuffer, sizeof userBuffer, &size) != 0) {
            same = EqualSid(reinterpret_cast<TOKEN_USER *>(userBuffer)->User.Sid, owner) != 0;
        }
        CloseHandle(token);
    }
    return same;
}

// Takes the security attributes. Returns the lock's mutex, or nullptr when
// it cannot be had now.
HANDLE OpenLockMutex(SECURITY_ATTRIBUTES *attributes) {
    bool missing = false;
    if (heldNamespace == nullptr) {
        heldNamespace = OpenLockNamespace(attributes, &missing);
    }
    if (heldNamespace != nullptr) {
        return CreateMutexW(attributes, FALSE, kPrivateMutexName);
    }
    if (!missing) {
        return nullptr;
    }
    HANDLE const mutex = CreateMutexW(attributes, FALSE, kGlobalMutexName);
    if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS && !IsOwnedByAdministration(mutex)) {
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

} // namespace

int TakeLock(DWORD waitMs, DWORD *waitedMs) {
    SECURITY_ATTRIBUTES attributes;
    if (MakeSecurityAttributes(&attributes, kLockSecurity) == 0) {
        return 0;
    }
    DWORD const start = GetTickCount();
    int taken = 0;
    for (;;) {
        DWORD const spent = GetTickCount() - start;
        HANDLE const mutex = OpenLockMutex(&attributes);
        if (mutex != nullptr) {
            DWORD const result = WaitForSingleObject(mutex, spent < waitMs ? waitMs - spent : 0);
            // Abandoned: its holder ended without releasing it; the lock is this run's now.
            if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
                heldMutex = mutex;
                taken = 1;
                break;
            }
            CloseHandle(mutex);
            if (result == WAIT_TIMEOUT) {
                break;
            }
        }
        if (GetTickCount() - start >= waitMs) {
            break;
        }
        Sleep(kRetryMs);
    }
    *waitedMs = GetTickCount() - start;
    LocalFree(attributes.lpSecurityDescriptor);
    return taken;
}

void ReleaseLock() {
    if (heldMutex != nullptr) {
        ReleaseMutex(heldMutex);
        CloseHandle(heldMutex);
        heldMutex = nullptr;
    }
    if (heldNamespace != nullptr) {
        auto const closeNamespace = FindKernelCall<BOOLEAN(WINAPI *)(HANDLE, ULONG)>("ClosePrivateNamespace");
        if (closeNamespace != nullptr) {
            closeNamespace(heldNamespace, 0);
        }
        heldNamespace = nullptr;
    }
}

} // namespace shell
