// kit_files.cpp - the log folder, %SystemRoot%\Logs\EdccaProvision, and the
// files the kit writes there. The folder and the collection folders are made
// for SYSTEM and Administrators only; a path on the way that is a link
// (reparse point) or a file with other links is refused, so that the kit's
// writes, moves and removals never reach through it.

#include "kit/win32/kit_shell.h"

#include <cstring>

#include "common/format.h"

namespace shell {
namespace {

constexpr char kFolderSecurity[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr char kFileSecurity[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr char kFolderName[] = "EdccaProvision";
constexpr DWORD kLogBound = 1048576;
constexpr int kCollectionsKept = 3;

// Takes a path already checked to be no link, and an SDDL text. Gives what
// is there that DACL: a folder and logs left by kits 1.1 and 1.2 inherited
// read access for Users from %SystemRoot%\Logs, and the folder's new DACL
// does not reach files that exist already. Nothing there: nothing to do.
void RestrictExisting(const char *path, const char *sddl) {
    SECURITY_ATTRIBUTES attributes;
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES && MakeSecurityAttributes(&attributes, sddl) == 1) {
        SetFileSecurityA(path, DACL_SECURITY_INFORMATION, attributes.lpSecurityDescriptor);
        LocalFree(attributes.lpSecurityDescriptor);
    }
}

// Takes what Windows says of an open file or folder. Returns whether it is a
// link, or a file with more than one name.
bool IsUnsafeInformation(const BY_HANDLE_FILE_INFORMATION &information) {
    return (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
           ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && information.nNumberOfLinks > 1);
}

// Takes an open handle and the path it was opened by. Returns whether the
// handle reaches another file than the path names: Windows opens a link
// itself (FILE_FLAG_OPEN_REPARSE_POINT), but Wine follows a Unix symbolic
// link to a file and shows nothing of it but the target's own path. From
// Vista on; where the call is missing, or cannot tell, the other checks stand.
bool ReachesElsewhere(HANDLE file, const char *path) {
    using FinalPathCall = DWORD(WINAPI *)(HANDLE, LPSTR, DWORD, DWORD);
    auto const finalPath = FindKernelCall<FinalPathCall>("GetFinalPathNameByHandleA");
    char reached[kMostPathBytes];
    DWORD const length = finalPath == nullptr ? 0 : finalPath(file, reached, sizeof reached, 0);
    if (length == 0 || length >= sizeof reached) {
        return false;
    }
    const char *shown = std::strncmp(reached, "\\\\?\\", 4) == 0 ? reached + 4 : reached;
    return lstrcmpiA(shown, path) != 0;
}

// Takes an open handle (the link itself, never its target) and its path.
// Returns whether it is unsafe to write; one Windows says nothing of counts
// as unsafe.
bool IsUnsafeHandle(HANDLE file, const char *path) {
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(file, &information) == 0 || IsUnsafeInformation(information) ||
           ReachesElsewhere(file, path);
}

// Takes a path. Returns whether the name itself is a link: its attributes
// are the link's own (Wine shows a Unix symbolic link so, though a handle
// opened on it reaches its target).
bool IsLinkPath(const char *path) {
    DWORD const attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Takes a path. Returns 1 when it names something, with *unsafe whether it is
// a link or a file with other links; 0 when nothing is there.
int InspectPath(const char *path, bool *unsafe) {
    *unsafe = false;
    DWORD const attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        *unsafe = true;
        return 1;
    }
    HANDLE const file =
        CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return attributes != INVALID_FILE_ATTRIBUTES ? 1 : 0;
    }
    *unsafe = IsUnsafeHandle(file, path);
    CloseHandle(file);
    return 1;
}

// Takes a folder, a name and a buffer of kMostPathBytes. Writes
// "<folder>\<name>". Returns 1, or 0 when it does not fit.
int JoinPath(const char *folder, const char *name, char *path) {
    return FormatText(path, kMostPathBytes, "%s\\%s", folder, name) < kMostPathBytes - 1 ? 1 : 0;
}

// Takes a path and the buffer for the refused one. Returns 1 when the path
// is safe (or missing), else 0 with the path copied.
int CheckPath(const char *path, char *unsafePath) {
    bool unsafe = false;
    InspectPath(path, &unsafe);
    if (unsafe) {
        FormatText(unsafePath, kMostPathBytes, "%s", path);
        return 0;
    }
    return 1;
}

// Takes a collection folder and the buffer for the refused path. Checks the
// folder and every entry in it, and gives each the kit's DACL (kit 1.2's
// collections inherited Users' read access). Returns 1, or 0 with the
// refused path.
int SecureCollectionFolder(const char *folder, char *unsafePath) {
    bool unsafe = false;
    if (InspectPath(folder, &unsafe) == 0) {
        return 1;
    }
    if (unsafe) {
        FormatText(unsafePath, kMostPathBytes, "%s", folder);
        return 0;
    }
    RestrictExisting(folder, kFolderSecurity);
    char pattern[kMostPathBytes];
    if (JoinPath(folder, "*", pattern) == 0) {
        return 1;
    }
    WIN32_FIND_DATAA entry;
    HANDLE const search = FindFirstFileA(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return 1;
    }
    int result = 1;
    do {
        if (std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0) {
            continue;
        }
        char path[kMostPathBytes];
        if (JoinPath(folder, entry.cFileName, path) == 0) {
            continue;
        }
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            FormatText(unsafePath, kMostPathBytes, "%s", path);
            result = 0;
        } else {
            result = CheckPath(path, unsafePath);
            if (result == 1) {
                RestrictExisting(path, kFileSecurity);
            }
        }
    } while (result == 1 && FindNextFileA(search, &entry) != 0);
    FindClose(search);
    return result;
}

// Takes a collection folder's number (0: "collection") and a buffer of
// kMostPathBytes. Writes its path.
void MakeCollectionPath(const LogFolder &folder, int number, char *path) {
    if (number == 0) {
        FormatText(path, kMostPathBytes, "%s", folder.collection);
    } else {
        FormatText(path, kMostPathBytes, "%s.%d", folder.collection, number);
    }
}

// Takes a folder. Removes it and its files; a link is removed itself, never
// what it points to. Returns 1 when nothing is left there.
int RemoveFolderWithoutLinks(const char *folder) {
    bool unsafe = false;
    if (InspectPath(folder, &unsafe) == 0) {
        return 1;
    }
    if (unsafe) {
        return RemoveDirectoryA(folder) != 0 || DeleteFileA(folder) != 0 ? 1 : 0;
    }
    char pattern[kMostPathBytes];
    WIN32_FIND_DATAA entry;
    HANDLE const search = JoinPath(folder, "*", pattern) == 1 ? FindFirstFileA(pattern, &entry) : INVALID_HANDLE_VALUE;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            char path[kMostPathBytes];
            if (std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0 ||
                JoinPath(folder, entry.cFileName, path) == 0) {
                continue;
            }
            // A folder here is a link or one the kit never made: RemoveDirectory
            // takes a link away and leaves a folder with contents.
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveDirectoryA(path);
            } else {
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
                    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
                }
                DeleteFileA(path);
            }
        } while (FindNextFileA(search, &entry) != 0);
        FindClose(search);
    }
    return RemoveDirectoryA(folder) != 0 ? 1 : 0;
}

// Takes a path. Returns its size in bytes, or 0 when it cannot be had
// (files past 4 GB count as past the log's bound).
DWORD MeasureFile(const char *path) {
    HANDLE const file = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION information;
    DWORD size = 0;
    if (GetFileInformationByHandle(file, &information) != 0) {
        size = information.nFileSizeHigh != 0 ? kLogBound : information.nFileSizeLow;
    }
    CloseHandle(file);
    return size;
}

// Takes an open file, bytes and their length. Returns 1 when every byte was
// written, else 0.
int WriteWhole(HANDLE file, const char *bytes, std::size_t length) {
    while (length > 0) {
        DWORD const ask = length > 0x10000 ? 0x10000 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (WriteFile(file, bytes, ask, &written, nullptr) == 0 || written != ask) {
            return 0;
        }
        bytes += written;
        length -= written;
    }
    return 1;
}

} // namespace

int MakeLogFolderPaths(LogFolder *folder) {
    UINT const length = GetSystemWindowsDirectoryA(folder->windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return 0;
    }
    if (folder->windows[length - 1] == '\\') { // a root folder, "C:\"
        folder->windows[length - 1] = '\0';
    }
    return JoinPath(folder->windows, "Logs", folder->logs) == 1 &&
                   JoinPath(folder->logs, kFolderName, folder->folder) == 1 &&
                   JoinPath(folder->folder, "log.txt", folder->log) == 1 &&
                   JoinPath(folder->folder, "log.1.txt", folder->oldLog) == 1 &&
                   JoinPath(folder->folder, "collection", folder->collection) == 1 &&
                   std::strlen(folder->collection) + 2 < MAX_PATH - 32
               ? 1
               : 0;
}

int PrepareLogFolder(const LogFolder &folder, char *unsafePath) {
    if (CheckPath(folder.logs, unsafePath) == 0) {
        return 0;
    }
    CreateDirectoryA(folder.logs, nullptr);
    if (CheckPath(folder.folder, unsafePath) == 0) {
        return 0;
    }
    SECURITY_ATTRIBUTES attributes;
    if (MakeSecurityAttributes(&attributes, kFolderSecurity) == 1) {
        CreateDirectoryA(folder.folder, &attributes);
        LocalFree(attributes.lpSecurityDescriptor);
    }
    if (CheckPath(folder.log, unsafePath) == 0 || CheckPath(folder.oldLog, unsafePath) == 0) {
        return 0;
    }
    RestrictExisting(folder.folder, kFolderSecurity);
    RestrictExisting(folder.log, kFileSecurity);
    RestrictExisting(folder.oldLog, kFileSecurity);
    char path[kMostPathBytes];
    for (int number = 0; number < kCollectionsKept; ++number) {
        MakeCollectionPath(folder, number, path);
        if (SecureCollectionFolder(path, unsafePath) == 0) {
            return 0;
        }
    }
    return 1;
}

int AppendLogRecord(const LogFolder &folder, const char *record, std::size_t length) {
    if (MeasureFile(folder.log) >= kLogBound) {
        MoveFileExA(folder.log, folder.oldLog, MOVEFILE_REPLACE_EXISTING);
    }
    HANDLE const file = CreateFileA(folder.log, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int const result =
        !IsUnsafeHandle(file, folder.log) && !IsLinkPath(folder.log) && WriteWhole(file, record, length) == 1 ? 1 : 0;
    CloseHandle(file);
    return result;
}

int MakeCollectionFolder(const LogFolder &folder) {
    char older[kMostPathBytes];
    char newer[kMostPathBytes];
    MakeCollectionPath(folder, kCollectionsKept - 1, older);
    if (RemoveFolderWithoutLinks(older) == 0) {
        return 0;
    }
    for (int number = kCollectionsKept - 2; number >= 0; --number) {
        MakeCollectionPath(folder, number, newer);
        bool unsafe = false;
        if (InspectPath(newer, &unsafe) == 1 && MoveFileA(newer, older) == 0) {
            return 0;
        }
        std::memcpy(older, newer, sizeof older);
    }
    SECURITY_ATTRIBUTES attributes;
    if (MakeSecurityAttributes(&attributes, kFolderSecurity) == 0) {
        return 0;
    }
    int const made = CreateDirectoryA(folder.collection, &attributes) != 0 ? 1 : 0;
    LocalFree(attributes.lpSecurityDescriptor);
    return made;
}

int BeginCollectionFile(void *context, const char *fileName) {
    auto *files = static_cast<CollectionFiles *>(context);
    files->file = INVALID_HANDLE_VALUE;
    files->failed = false;
    // The collector names its files; a name that would leave the folder is none.
    if (fileName[0] == '\0' || std::strpbrk(fileName, "\\/:") != nullptr || std::strcmp(fileName, "..") == 0 ||
        JoinPath(files->folder->collection, fileName, files->path) == 0) {
        return 0;
    }
    HANDLE const file = CreateFileA(files->path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    if (IsUnsafeHandle(file, files->path) || IsLinkPath(files->path)) {
        CloseHandle(file);
        return 0;
    }
    files->file = file;
    return 1;
}

int AppendCollectionFile(void *context, const char *bytes, std::size_t length) {
    auto *files = static_cast<CollectionFiles *>(context);
    if (files->file == INVALID_HANDLE_VALUE || files->failed || WriteWhole(files->file, bytes, length) == 0) {
        files->failed = true;
        return 0;
    }
    return 1;
}

int EndCollectionFile(void *context, bool keep) {
    auto *files = static_cast<CollectionFiles *>(context);
    if (files->file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int const closed = CloseHandle(files->file) != 0 ? 1 : 0;
    files->file = INVALID_HANDLE_VALUE;
    if (!keep) {
        DeleteFileA(files->path);
        return 1;
    }
    return closed == 1 && !files->failed ? 1 : 0;
}

} // namespace shell
