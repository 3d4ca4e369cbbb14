/*
 * edcca_test_driver.c - a kernel driver standing in for the wireless adapter's
 * driver when EdccaProvision.exe runs under Wine.
 *
 * For each adapter configured under its service key,
 *   Parameters\Adapters\<n>   DeviceName = "{GUID}" (REG_SZ)
 * it creates a device object and the symbolic link \DosDevices\{GUID}, so that
 * the program's "\\.\{GUID}" opens it. It answers IOCTL_NDIS_QUERY_GLOBAL_STATS
 * (METHOD_OUT_DIRECT) the way the simulated host's driver does
 * (sim/seam/host_devices.cpp), so both hosts give the program the same answers:
 *
 *   - output smaller than the layout          -> STATUS_BUFFER_TOO_SMALL
 *   - identifier without an answer            -> STATUS_NOT_SUPPORTED
 *   - another control code                    -> STATUS_INVALID_DEVICE_REQUEST
 *   - input shorter than 4 bytes              -> STATUS_INVALID_PARAMETER
 *   - EEPROM identifiers (0x0D710105, 0xFF0C0008) and EEPROM answers use the
 *     12-byte layout [request word, offset, answer word]; words 1 and 2 are
 *     returned as the caller filled them; other identifiers a 4-byte word.
 *
 * Configuration, read afresh at every request so a run can change it:
 *   Parameters               ClockOrigin  REG_BINARY 8: FILETIME the run's
 *                                         times count from; 0: from the
 *                                         first request; all ones: not yet
 *                                         (absent: always 0)
 *   Parameters\Adapters\<n>  Loaded       REG_BINARY: pairs of 64-bit ms
 *                                         [from, until) while the device file
 *                                         exists; absent: always. A thread
 *                                         creates and deletes the symbolic
 *                                         link to follow it, since Wine opens
 *                                         a device file whatever its driver
 *                                         answers to IRP_MJ_CREATE.
 *   Parameters\Adapters\<n>\Answers\<OID as 8 upper-case hex digits>
 *                            <any name>   REG_BINARY answer (below), one value
 *                                         per answer; the latest whose atMs
 *                                         has come is in force
 *   answer: u64 atMs, u32 kind (0 word, 1 eeprom, 2 fail), u32 word,
 *           u32 status (NTSTATUS for kind 2), u32 answerBytes (0xFFFFFFFF:
 *           the whole layout), then u32 pairs (offset, byte) of EEPROM
 *           contents; offsets not listed read 0xFF.
 *
 * The clock can instead count the program's attempts, which is what the
 * simulated host's clock does (it moves only when the program sleeps 200 ms
 * between attempts), so that timed changes meet the same attempt however
 * slowly Wine runs:
 *   Parameters               AttemptClock REG_SZ: \Registry\Machine\... path
 *                                         of the Enum key of a present device
 *                                         of the network class
 * Wine rewrites that key's "Class" value whenever it lists the device. The
 * driver deletes the value and watches it come back; the key's last write
 * time is then the time of the listing that brought it back (Wine skips a
 * rewrite of identical data, so a second listing before the driver looks
 * leaves no mark), however late the driver looks. Every listing it sees is
 * logged with its time, so that a judge can place each one in the program's
 * attempts by the program's own trace:
 *   Parameters  Listings REG_BINARY  one 16-byte record per listing: u32
 *               sequence (shared with the request log), u32 attempt counted
 *               as it came, u64 system time of the listing
 * As it goes, the driver counts a listing as the start of an attempt when it
 * saw nothing of the program (no listing, no open, no query) for the 100 ms
 * before it: the program pauses 200 ms between attempts and nowhere else, and
 * an attempt's second listing (it lists again when its first walk found more
 * adapters than its first list has room for) follows the opens of that walk at
 * once (a request counts from when it reaches the driver, also for a listing it
 * counts on its way in). The clock rests on that pause, not on what the program
 * sends: an open that fails never reaches the driver, so neither "a query came"
 * nor "device files were opened" can tell attempts apart (three adapters whose
 * queried one has no device file yet send no query at all), and a count kept by
 * them, once out of step, stays so. Two listings that leave one mark (the
 * driver did not look between them) count once, whichever they were. Wine does
 * not wait for an open to reach the driver, and under load brings it over 100
 * ms late, which shortens the quiet the driver sees before the next attempt's
 * first listing, so that listing is taken for a second one. An attempt lists at
 * most twice, so a listing after one taken for a second always starts an
 * attempt: the count is right again at that attempt's own second listing,
 * before its queries. The judge does not rely on the count. It is kept in
 * Parameters\Attempts (REG_DWORD). Requests read the clock as 200 * n ms (a
 * request first counts a listing not yet seen). For changes the clock moves on
 * to 200 * (n + 1) ms after the same 100 ms of quiet, half-way through the
 * program's pause, so that they are in place well before attempt n + 1 lists
 * its devices and opens their files, and only then: when the driver missed a
 * pause (the count comes right at a second listing), the changes wait for the
 * next pause rather than come between an attempt's listings and its queries. A
 * change that comes later than its pause is late, which the judge allows for.
 *
 * Changes are logged, so that a judge can tell at which attempt each one
 * really took effect, whatever the scheduler did:
 *   Parameters  Changes REG_BINARY  one 32-byte record per change: u32
 *               sequence, u32 attempt (as counted when it was made), u32
 *               kind (1 event applied, 2 device file appears, 3 device file
 *               goes), u32 index (event or adapter), u64 system time just
 *               before and u64 just after it was made
 *
 * Registry events, so that a device can appear or go while a run goes on
 * with the timing of a driver rather than of the runner's processes:
 *   Parameters\Events\<n>    AtMs REG_BINARY 8 (ms on the clock above),
 *                            n from 0 without a gap,
 *                            Key REG_SZ (a \Registry\Machine\... path),
 *                            Delete REG_DWORD (1: delete Key, which must have
 *                            no subkeys; else create Key and its parents and
 *                            copy every value of Events\<n>\Values into it)
 *
 * It logs what it sees into the adapter's key, for the test runner:
 *   Log   REG_BINARY  one 48-byte record per request: u32 sequence number
 *         (across all adapters, from 1 at load), u32 ms, u32 major function
 *         (0 create, 14 device control), u32 control code, u32 oid, u32
 *         inSize, u32 outSize, u32 prefilled[3] (output words as the caller
 *         filled them), u32 status, u32 bytes returned.
 */

#include <ntifs.h>
#include <ntddk.h>

#define EDCCA_TAG 0x61636445UL /* "Edca" in a pool dump */
#define MAX_ADAPTERS 8
#define MAX_EVENTS 16
#define IOCTL_NDIS_QUERY_GLOBAL_STATS 0x00170002
#define OID_EEPROM_OLDER 0x0D710105
#define OID_EEPROM_NEWER 0xFF0C0008
#define EEPROM_LAYOUT_BYTES 12
#define WORD_LAYOUT_BYTES 4
#define ANSWER_HEADER_BYTES 24
#define MAX_VALUE_BYTES 4096
#define MAX_LOG_BYTES (1024 * 1024) /* a run's logs stay far below this */
#define KIND_WORD 0
#define KIND_EEPROM 1
#define KIND_FAIL 2
#define MAJOR_CREATE 0
#define MAJOR_DEVICE_CONTROL 14

typedef VOID(NTAPI *QuerySystemTimeRoutine)(PLARGE_INTEGER);

typedef struct {
    ULONG index;             /* <n> of Parameters\Adapters\<n> */
    UNICODE_STRING linkName; /* \DosDevices\{GUID} */
    WCHAR linkBuffer[96];
    UNICODE_STRING deviceName;
    WCHAR deviceBuffer[64];
    BOOLEAN linked; /* the link exists */
} AdapterExtension;

typedef struct {
    ULONG sequence, ms, major, code, oid, inSize, outSize, prefilled[3], status, bytes;
} LogRecord;

static WCHAR g_serviceKeyBuffer[512];
static UNICODE_STRING g_serviceKey;
static QuerySystemTimeRoutine g_querySystemTime;
static LONG g_sequence;
static PDRIVER_OBJECT g_driver;
static volatile LONG g_stopping;
static PVOID g_linkThread;
static ULONG g_eventsDone;             /* bit n: Events\<n> applied (touched by the link thread only) */
static volatile LONG g_attempt = -1;   /* attempt of the latest listing; -1: none yet */
static volatile LONG64 g_lastActivity; /* system time of the latest listing or request */
static BOOLEAN g_secondListing;        /* the latest listing was taken for its attempt's second */
static ULONG64 g_changesMs;            /* the clock of changes: moves on only while the program pauses */
static LONG64 g_arriving;              /* arrival of the request now counting listings (0: none) */
static volatile LONG g_clockBusy;      /* a WatchListings is under way */

#define ATTEMPT_MS 200
#define QUIET_MS 100 /* this long without a listing or a request: the program pauses */
#define MAX_ATTEMPTS 64
#define ATTEMPT_RACED 0xFFFFFFFEUL
#define CHANGE_EVENT 1
#define CHANGE_LINKED 2
#define CHANGE_UNLINKED 3

static LONG64 g_attemptStarts[MAX_ATTEMPTS]; /* system time of each attempt's first listing */

/* Builds "prefix" + decimal index into out (a buffer of `chars` WCHARs). */
static void FormatIndexedName(const WCHAR *prefix, ULONG index, WCHAR *out, size_t chars) {
    size_t at = 0;
    WCHAR digits[12];
    int count = 0;
    while (*prefix && at + 1 < chars) {
        out[at++] = *prefix++;
    }
    do {
        digits[count++] = (WCHAR)(L'0' + index % 10);
        index /= 10;
    } while (index && count < 12);
    while (count > 0 && at + 1 < chars) {
        out[at++] = digits[--count];
    }
    out[at] = 0;
}

/* Writes the 8 upper-case hex digits of value into out (9 WCHARs). */
static void FormatHexName(ULONG value, WCHAR *out) {
    static const WCHAR hex[] = L"0123456789ABCDEF";
    int i;
    for (i = 7; i >= 0; --i) {
        out[i] = hex[value & 15];
        value >>= 4;
    }
    out[8] = 0;
}

/* Opens (creating when asked) a key under parent, or under the service key
 * when parent is NULL. Returns the status; *key is set on success. */
static NTSTATUS OpenSubKey(HANDLE parent, const WCHAR *path, BOOLEAN create, HANDLE *key) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&name, path);
    if (parent == NULL) {
        HANDLE service;
        NTSTATUS status;
        InitializeObjectAttributes(&attributes, &g_serviceKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        status = ZwOpenKey(&service, KEY_ALL_ACCESS, &attributes);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = OpenSubKey(service, path, create, key);
        ZwClose(service);
        return status;
    }
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, NULL);
    if (create) {
        return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
    }
    return ZwOpenKey(key, KEY_ALL_ACCESS, &attributes);
}

/* Opens Parameters\Adapters\<index>. */
static NTSTATUS OpenAdapterKey(ULONG index, HANDLE *key) {
    WCHAR path[64];
    FormatIndexedName(L"Parameters\\Adapters\\", index, path, 64);
    return OpenSubKey(NULL, path, FALSE, key);
}

/* Frees a pool block of this driver's, if any. */
static void Free(void *block) {
    if (block != NULL) {
        ExFreePoolWithTag(block, EDCCA_TAG);
    }
}

/* Reads a value into a pool block (caller frees). Returns NULL when absent. */
static KEY_VALUE_PARTIAL_INFORMATION *ReadValue(HANDLE key, const WCHAR *valueName) {
    UNICODE_STRING name;
    ULONG size = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + MAX_VALUE_BYTES, got = 0;
    RtlInitUnicodeString(&name, valueName);
    /* The logs outgrow any fixed buffer: grow it to the value (which may
     * grow meanwhile) rather than read nothing and start a log afresh. */
    for (;;) {
        KEY_VALUE_PARTIAL_INFORMATION *info = ExAllocatePoolWithTag(PagedPool, size, EDCCA_TAG);
        NTSTATUS status;
        if (info == NULL) {
            return NULL;
        }
        status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, size, &got);
        if (NT_SUCCESS(status)) {
            return info;
        }
        Free(info);
        if ((status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) || size >= MAX_LOG_BYTES) {
            return NULL;
        }
        size = got > size ? got : size * 2;
    }
}

/* Appends a record, whose first u32 gets the next sequence number, to a
 * binary value of key. */
static void AppendRecord(HANDLE key, const WCHAR *valueName, const void *record, ULONG bytes) {
    UNICODE_STRING name;
    KEY_VALUE_PARTIAL_INFORMATION *log = ReadValue(key, valueName);
    ULONG old = log ? log->DataLength : 0;
    UCHAR *data = ExAllocatePoolWithTag(PagedPool, old + bytes, EDCCA_TAG);
    ULONG sequence = (ULONG)InterlockedIncrement(&g_sequence);
    if (data != NULL) {
        if (old) {
            RtlCopyMemory(data, log->Data, old);
        }
        RtlCopyMemory(data + old, record, bytes);
        RtlCopyMemory(data + old, &sequence, sizeof sequence);
        RtlInitUnicodeString(&name, valueName);
        ZwSetValueKey(key, &name, 0, REG_BINARY, data, old + bytes);
        Free(data);
    }
    Free(log);
}

/* The system time now (0 without a clock). */
static LONG64 SystemTime(void) {
    LARGE_INTEGER now;
    now.QuadPart = 0;
    if (g_querySystemTime != NULL) {
        g_querySystemTime(&now);
    }
    return now.QuadPart;
}

/* One WatchListings at a time (a spin with 1 ms pauses: it is short). */
static void LockClock(void) {
    LARGE_INTEGER pause;
    pause.QuadPart = -10000;
    while (InterlockedCompareExchange(&g_clockBusy, 1, 0) != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

static void UnlockClock(void) { InterlockedExchange(&g_clockBusy, 0); }

/* Whether a listing at system time `listed` starts an attempt rather than
 * being the second listing of the current one: whether the program paused
 * before it, or the listing before it was taken for a second (see
 * AttemptClock above). */
static BOOLEAN StartsAttempt(LONG64 listed) {
    LONG64 last = g_arriving > g_lastActivity && g_arriving < listed ? g_arriving : g_lastActivity;
    return g_attempt < 0 || g_secondListing || (listed - last) / 10000 >= QUIET_MS;
}

/* Milliseconds since ClockOrigin. With startClock (a request), an origin of 0
 * starts the clock now, so that a run's times count from its first request
 * (the simulated host counts from the process's start, and the first request
 * comes at its first attempt). No origin at all, or one still to come, reads
 * as 0 ms. On the attempt clock changes (not startClock) read a clock of
 * their own, which moves on to the next attempt's time only while the
 * program pauses, ahead of that attempt's listing. */
static ULONG64 ElapsedMs(BOOLEAN startClock) {
    HANDLE key;
    KEY_VALUE_PARTIAL_INFORMATION *origin, *attemptClock;
    LARGE_INTEGER now;
    ULONG64 elapsed = 0, start;
    if (g_querySystemTime == NULL || !NT_SUCCESS(OpenSubKey(NULL, L"Parameters", FALSE, &key))) {
        return 0;
    }
    attemptClock = ReadValue(key, L"AttemptClock");
    if (attemptClock != NULL) {
        LONG attempt;
        Free(attemptClock);
        ZwClose(key);
        LockClock();
        g_querySystemTime(&now);
        attempt = g_attempt;
        if (attempt >= 0 && (now.QuadPart - g_lastActivity) / 10000 >= QUIET_MS &&
            (ULONG64)(attempt + 1) * ATTEMPT_MS > g_changesMs) {
            g_changesMs = (ULONG64)(attempt + 1) * ATTEMPT_MS;
        }
        elapsed = startClock ? (ULONG64)attempt * ATTEMPT_MS : g_changesMs;
        UnlockClock();
        return attempt < 0 ? 0 : elapsed;
    }
    origin = ReadValue(key, L"ClockOrigin");
    if (origin != NULL && origin->DataLength == 8) {
        RtlCopyMemory(&start, origin->Data, 8);
        g_querySystemTime(&now);
        if (start == 0 && startClock) {
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, L"ClockOrigin");
            ZwSetValueKey(key, &name, 0, REG_BINARY, &now.QuadPart, 8);
        } else if (start != 0 && (ULONG64)now.QuadPart > start) {
            elapsed = ((ULONG64)now.QuadPart - start) / 10000;
        }
    }
    Free(origin);
    ZwClose(key);
    return elapsed;
}

/* Records in Parameters how many attempts the clock has counted, so that a
 * judge can check the count against the program's own trace. */
static void WriteAttempts(HANDLE parameters) {
    UNICODE_STRING name;
    ULONG count = (ULONG)(g_attempt + 1);
    RtlInitUnicodeString(&name, L"Attempts");
    ZwSetValueKey(parameters, &name, 0, REG_DWORD, &count, sizeof count);
}

/* Takes the mark of one sentinel device (valueName: the Parameters value
 * naming its Enum key): TRUE, with the time of the listing that made it in
 * *listed, when Wine rewrote its deleted "Class" value. The key's last write
 * is the listing's own time, however late this thread looks. */
static BOOLEAN TakeMark(HANDLE parameters, const WCHAR *valueName, LONG64 *listed) {
    KEY_VALUE_PARTIAL_INFORMATION *path = ReadValue(parameters, valueName), *klass;
    UNICODE_STRING name, className;
    OBJECT_ATTRIBUTES attributes;
    HANDLE sentinel;
    union {
        KEY_BASIC_INFORMATION basic;
        UCHAR room[sizeof(KEY_BASIC_INFORMATION) + 256 * sizeof(WCHAR)];
    } info;
    ULONG got;
    BOOLEAN marked = FALSE;
    if (path == NULL) {
        return FALSE;
    }
    if (path->Type == REG_SZ && path->DataLength >= sizeof(WCHAR)) {
        name.Buffer = (WCHAR *)path->Data;
        name.Length = (USHORT)(path->DataLength - sizeof(WCHAR));
        name.MaximumLength = (USHORT)path->DataLength;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        if (NT_SUCCESS(ZwOpenKey(&sentinel, KEY_ALL_ACCESS, &attributes))) {
            klass = ReadValue(sentinel, L"Class");
            if (klass != NULL && NT_SUCCESS(ZwQueryKey(sentinel, KeyBasicInformation, &info, sizeof info, &got))) {
                *listed = info.basic.LastWriteTime.QuadPart;
                RtlInitUnicodeString(&className, L"Class");
                ZwDeleteValueKey(sentinel, &className);
                marked = TRUE;
            }
            Free(klass);
            ZwClose(sentinel);
        }
    }
    Free(path);
    return marked;
}

/* Counts a listing of the program, made at system time `listed`, and logs
 * it with the attempt counted for it (Listings: u32 sequence, u32 attempt,
 * u64 time). */
static void CountListing(HANDLE parameters, LONG64 listed) {
    ULONG record[4];
    BOOLEAN starts = StartsAttempt(listed);
    if (starts) {
        if (g_attempt + 1 < MAX_ATTEMPTS) {
            g_attemptStarts[g_attempt + 1] = listed;
        }
        InterlockedIncrement(&g_attempt);
        WriteAttempts(parameters);
    }
    g_secondListing = !starts;
    if (listed > g_lastActivity) {
        g_lastActivity = listed;
    }
    record[0] = 0;
    record[1] = (ULONG)g_attempt;
    RtlCopyMemory(&record[2], &listed, 8);
    AppendRecord(parameters, L"Listings", record, sizeof record);
}

/* Follows the program's listings by Wine's rewrites of the sentinel
 * device's "Class" value (see AttemptClock above). Called by the polling
 * thread and by every request, one at a time. */
static void WatchListings(void) {
    HANDLE key;
    LONG64 listed = 0;
    if (g_querySystemTime == NULL || !NT_SUCCESS(OpenSubKey(NULL, L"Parameters", FALSE, &key))) {
        return;
    }
    if (TakeMark(key, L"AttemptClock", &listed)) {
        CountListing(key, listed);
    }
    ZwClose(key);
}

/* A request's time: a listing this thread has not yet counted (its polling
 * thread ran late) is counted first, so the request reads its own attempt,
 * and the listing is weighed against the quiet before this request. */
static ULONG64 RequestMs(void) {
    LONG64 arrived = SystemTime(); /* not after the wait for the lock */
    LockClock();
    g_arriving = arrived; /* activity before a listing that came after it */
    WatchListings();
    g_arriving = 0;
    if (arrived > g_lastActivity) {
        g_lastActivity = arrived;
    }
    UnlockClock();
    return ElapsedMs(TRUE);
}

/* Whether the adapter's device file exists at `now`; *spanStart receives the
 * start of the span (0 when always loaded). */
static BOOLEAN IsLoadedAt(HANDLE adapterKey, ULONG64 now, ULONG64 *spanStart) {
    KEY_VALUE_PARTIAL_INFORMATION *loaded = ReadValue(adapterKey, L"Loaded");
    BOOLEAN result = FALSE;
    ULONG at;
    *spanStart = 0;
    if (loaded == NULL) {
        return TRUE;
    }
    for (at = 0; at + 16 <= loaded->DataLength; at += 16) {
        ULONG64 from, until;
        RtlCopyMemory(&from, loaded->Data + at, 8);
        RtlCopyMemory(&until, loaded->Data + at + 8, 8);
        if (now >= from && now < until) {
            *spanStart = from;
            result = TRUE;
            break;
        }
    }
    Free(loaded);
    return result;
}

/* Appends one record to the adapter's Log value. */
static void AppendLog(HANDLE adapterKey, const LogRecord *record) {
    AppendRecord(adapterKey, L"Log", record, sizeof *record);
}

/* Logs a change (see Changes above) made between system time madeFrom and
 * this call, with the attempt whose listing came last before it. Listings are
 * counted first, by their own times, so a listing this thread has not yet
 * seen still counts when it came first; one that came while the change was
 * being made logs ATTEMPT_RACED, as nobody can tell which came first. */
static void LogChange(ULONG kind, ULONG index, LONG64 madeFrom) {
    HANDLE key;
    ULONG record[8];
    LONG64 madeUntil;
    LONG attempt, n;
    madeUntil = SystemTime();
    LockClock();
    WatchListings();
    attempt = -1;
    for (n = 0; n <= g_attempt && n < MAX_ATTEMPTS; ++n) {
        if (g_attemptStarts[n] < madeFrom) {
            attempt = n;
        } else if (g_attemptStarts[n] <= madeUntil) {
            attempt = (LONG)ATTEMPT_RACED;
        }
    }
    UnlockClock();
    record[0] = 0;
    record[1] = (ULONG)attempt;
    record[2] = kind;
    record[3] = index;
    RtlCopyMemory(&record[4], &madeFrom, 8);
    RtlCopyMemory(&record[6], &madeUntil, 8);
    if (NT_SUCCESS(OpenSubKey(NULL, L"Parameters", FALSE, &key))) {
        AppendRecord(key, L"Changes", record, sizeof record);
        ZwClose(key);
    }
}

/* Finds the answer in force for oid at `now`: a pool copy of its value data
 * (caller frees) with its size, or NULL when the identifier has none. */
static UCHAR *FindAnswer(HANDLE adapterKey, ULONG oid, ULONG64 now, ULONG *size) {
    WCHAR path[32] = L"Answers\\";
    HANDLE answersKey;
    UCHAR *best = NULL;
    ULONG64 bestAt = 0;
    ULONG index;
    FormatHexName(oid, path + 8);
    if (!NT_SUCCESS(OpenSubKey(adapterKey, path, FALSE, &answersKey))) {
        return NULL;
    }
    for (index = 0;; ++index) {
        ULONG need = sizeof(KEY_VALUE_FULL_INFORMATION) + 512 + MAX_VALUE_BYTES, got = 0;
        KEY_VALUE_FULL_INFORMATION *info = ExAllocatePoolWithTag(PagedPool, need, EDCCA_TAG);
        ULONG64 at;
        if (info == NULL) {
            break;
        }
        if (!NT_SUCCESS(ZwEnumerateValueKey(answersKey, index, KeyValueFullInformation, info, need, &got))) {
            Free(info);
            break;
        }
        if (info->DataLength >= ANSWER_HEADER_BYTES) {
            const UCHAR *data = (const UCHAR *)info + info->DataOffset;
            RtlCopyMemory(&at, data, 8);
            if (at <= now && (best == NULL || at >= bestAt)) {
                UCHAR *copy = ExAllocatePoolWithTag(PagedPool, info->DataLength, EDCCA_TAG);
                if (copy != NULL) {
                    RtlCopyMemory(copy, data, info->DataLength);
                    Free(best);
                    best = copy;
                    bestAt = at;
                    *size = info->DataLength;
                }
            }
        }
        Free(info);
    }
    ZwClose(answersKey);
    return best;
}

/* Reads the u32 at byte offset `at` of an answer. */
static ULONG AnswerWord(const UCHAR *answer, ULONG at) {
    ULONG value;
    RtlCopyMemory(&value, answer + at, 4);
    return value;
}

/* The driver's side of one query, as the simulated driver answers it. Fills
 * out (outSize bytes, holding the caller's words) and *written. */
static NTSTATUS AnswerQuery(HANDLE adapterKey, ULONG oid, ULONG64 now, UCHAR *out, ULONG outSize, ULONG *written) {
    ULONG size = 0, kind, layout, bytes, result[3] = {0, 0, 0};
    UCHAR *answer = FindAnswer(adapterKey, oid, now, &size);
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN eepromLayout;
    if (answer == NULL) {
        return STATUS_NOT_SUPPORTED;
    }
    kind = AnswerWord(answer, 8);
    if (kind == KIND_FAIL) {
        status = (NTSTATUS)AnswerWord(answer, 16);
        goto done;
    }
    eepromLayout = kind == KIND_EEPROM || oid == OID_EEPROM_OLDER || oid == OID_EEPROM_NEWER;
    layout = eepromLayout ? EEPROM_LAYOUT_BYTES : WORD_LAYOUT_BYTES;
    if (out == NULL || outSize < layout) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto done;
    }
    if (eepromLayout) {
        RtlCopyMemory(result, out, 8);
        if (kind == KIND_EEPROM) {
            ULONG at;
            if (result[0] != 3) {
                status = STATUS_INVALID_PARAMETER;
                goto done;
            }
            result[2] = 0xFF;
            for (at = ANSWER_HEADER_BYTES; at + 8 <= size; at += 8) {
                if (AnswerWord(answer, at) == result[1]) {
                    result[2] = AnswerWord(answer, at + 4) & 0xFF;
                }
            }
        } else {
            result[2] = AnswerWord(answer, 12);
        }
    } else {
        result[0] = AnswerWord(answer, 12);
    }
    bytes = AnswerWord(answer, 20);
    if (bytes > layout) {
        bytes = layout;
    }
    RtlCopyMemory(out, result, bytes);
    *written = bytes;
done:
    Free(answer);
    return status;
}

/* Completes an IRP with its status and the bytes it returns. */
static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* IRP_MJ_CREATE: opens only while the adapter is loaded; remembers the load
 * span so that a request after the driver "went away" fails. */
static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    AdapterExtension *adapter = device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    HANDLE key;
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG64 now = RequestMs(), spanStart = 0;
    if (NT_SUCCESS(OpenAdapterKey(adapter->index, &key))) {
        LogRecord record = {0};
        if (IsLoadedAt(key, now, &spanStart)) {
            status = STATUS_SUCCESS;
            stack->FileObject->FsContext = (PVOID)(ULONG_PTR)(spanStart + 1);
        }
        record.ms = (ULONG)now;
        record.major = MAJOR_CREATE;
        record.status = (ULONG)status;
        AppendLog(key, &record);
        ZwClose(key);
    }
    return Complete(irp, status, 0);
}

/* IRP_MJ_CLOSE and IRP_MJ_CLEANUP. */
static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* IRP_MJ_DEVICE_CONTROL: the NDIS query. */
static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    AdapterExtension *adapter = device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR *out = NULL;
    ULONG written = 0, oid = 0;
    ULONG64 now = RequestMs(), spanStart = 0;
    NTSTATUS status;
    HANDLE key;
    LogRecord record = {0};

    if (inSize >= 4 && irp->AssociatedIrp.SystemBuffer != NULL) {
        RtlCopyMemory(&oid, irp->AssociatedIrp.SystemBuffer, 4);
    }
    if (irp->MdlAddress != NULL) {
        out = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    }
    if (out != NULL) {
        SIZE_T i;
        for (i = 0; i < 3 && (i + 1) * 4 <= outSize; ++i) {
            RtlCopyMemory(&record.prefilled[i], out + i * 4, 4);
        }
    }

    if (!NT_SUCCESS(OpenAdapterKey(adapter->index, &key))) {
        status = STATUS_DEVICE_DOES_NOT_EXIST;
    } else {
        if (!IsLoadedAt(key, now, &spanStart) || spanStart + 1 != (ULONG64)(ULONG_PTR)stack->FileObject->FsContext) {
            status = (NTSTATUS)0xC0070000 | 1167; /* ERROR_DEVICE_NOT_CONNECTED: went away under the open file */
        } else if (code != IOCTL_NDIS_QUERY_GLOBAL_STATS) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else if (inSize < 4) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            status = AnswerQuery(key, oid, now, out, outSize, &written);
        }
        record.ms = (ULONG)now;
        record.major = MAJOR_DEVICE_CONTROL;
        record.code = code;
        record.oid = oid;
        record.inSize = inSize;
        record.outSize = outSize;
        record.status = (ULONG)status;
        record.bytes = written;
        AppendLog(key, &record);
        ZwClose(key);
    }
    return Complete(irp, status, NT_SUCCESS(status) ? written : 0);
}

/* Creates or deletes an adapter's symbolic link to match `loaded`. */
static void SetLinked(AdapterExtension *adapter, BOOLEAN loaded) {
    LONG64 madeFrom = SystemTime();
    if (loaded && !adapter->linked) {
        adapter->linked = NT_SUCCESS(IoCreateSymbolicLink(&adapter->linkName, &adapter->deviceName));
        LogChange(CHANGE_LINKED, adapter->index, madeFrom);
    } else if (!loaded && adapter->linked) {
        IoDeleteSymbolicLink(&adapter->linkName);
        adapter->linked = FALSE;
        LogChange(CHANGE_UNLINKED, adapter->index, madeFrom);
    }
}

/* Brings every adapter's link in line with its Loaded spans at this moment. */
static void UpdateLinks(void) {
    PDEVICE_OBJECT device;
    ULONG64 now = ElapsedMs(FALSE), spanStart;
    for (device = g_driver->DeviceObject; device != NULL; device = device->NextDevice) {
        AdapterExtension *adapter = device->DeviceExtension;
        HANDLE key;
        if (NT_SUCCESS(OpenAdapterKey(adapter->index, &key))) {
            SetLinked(adapter, IsLoadedAt(key, now, &spanStart));
            ZwClose(key);
        }
    }
}

/* Opens (creating it and any missing parent) the key at an absolute path. */
static NTSTATUS CreateKeyPath(const WCHAR *path, ULONG chars, HANDLE *key) {
    WCHAR prefix[512];
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    NTSTATUS status = STATUS_OBJECT_NAME_INVALID;
    ULONG at, separators = 0;
    *key = NULL;
    if (chars >= ARRAYSIZE(prefix)) {
        return status;
    }
    for (at = 0; at <= chars; ++at) {
        if (at < chars && path[at] != L'\\') {
            continue;
        }
        /* \Registry\Machine itself always exists: start below it. */
        if (++separators <= 3 && at < chars) {
            continue;
        }
        RtlCopyMemory(prefix, path, at * sizeof(WCHAR));
        prefix[at] = 0;
        RtlInitUnicodeString(&name, prefix);
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        if (*key != NULL) {
            ZwClose(*key);
        }
        status = ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
        if (!NT_SUCCESS(status)) {
            *key = NULL;
            return status;
        }
    }
    return status;
}

/* Copies every value of one key into another. */
static void CopyValues(HANDLE from, HANDLE to) {
    ULONG index, need = sizeof(KEY_VALUE_FULL_INFORMATION) + 512 + MAX_VALUE_BYTES, got;
    KEY_VALUE_FULL_INFORMATION *info = ExAllocatePoolWithTag(PagedPool, need, EDCCA_TAG);
    if (info == NULL) {
        return;
    }
    for (index = 0; NT_SUCCESS(ZwEnumerateValueKey(from, index, KeyValueFullInformation, info, need, &got)); ++index) {
        UNICODE_STRING name;
        name.Buffer = info->Name;
        name.Length = name.MaximumLength = (USHORT)info->NameLength;
        ZwSetValueKey(to, &name, 0, info->Type, (UCHAR *)info + info->DataOffset, info->DataLength);
    }
    Free(info);
}

/* Applies one registry event whose time has come. */
static void ApplyEvent(HANDLE eventKey) {
    KEY_VALUE_PARTIAL_INFORMATION *path = ReadValue(eventKey, L"Key");
    KEY_VALUE_PARTIAL_INFORMATION *remove = ReadValue(eventKey, L"Delete");
    HANDLE target, values;
    if (path != NULL && path->Type == REG_SZ) {
        ULONG chars = path->DataLength / sizeof(WCHAR);
        while (chars > 0 && ((const WCHAR *)path->Data)[chars - 1] == 0) {
            --chars;
        }
        if (NT_SUCCESS(CreateKeyPath((const WCHAR *)path->Data, chars, &target))) {
            if (remove != NULL && remove->DataLength == 4 && *(const ULONG *)remove->Data == 1) {
                ZwDeleteKey(target);
            } else if (NT_SUCCESS(OpenSubKey(eventKey, L"Values", FALSE, &values))) {
                CopyValues(values, target);
                ZwClose(values);
            }
            ZwClose(target);
        }
    }
    Free(path);
    Free(remove);
}

/* Applies, once each, the registry events whose time has come. */
static void ApplyEvents(void) {
    ULONG index;
    ULONG64 now = ElapsedMs(FALSE);
    for (index = 0; index < MAX_EVENTS; ++index) {
        WCHAR path[40];
        HANDLE key;
        KEY_VALUE_PARTIAL_INFORMATION *at;
        ULONG64 atMs = 0;
        if (g_eventsDone & (1UL << index)) {
            continue;
        }
        FormatIndexedName(L"Parameters\\Events\\", index, path, 40);
        /* Numbered from 0 without a gap: the first missing one ends them (not
         * 16 failed opens every 2 ms, which slow Wine's delivery of opens). */
        if (!NT_SUCCESS(OpenSubKey(NULL, path, FALSE, &key))) {
            break;
        }
        at = ReadValue(key, L"AtMs");
        if (at != NULL && at->DataLength == 8) {
            RtlCopyMemory(&atMs, at->Data, 8);
        }
        if (at != NULL && at->DataLength == 8 && now >= atMs && now > 0) {
            LONG64 madeFrom = SystemTime();
            ApplyEvent(key);
            g_eventsDone |= 1UL << index;
            LogChange(CHANGE_EVENT, index, madeFrom);
        }
        Free(at);
        ZwClose(key);
    }
}

/* Follows the program's attempts, the Loaded spans and the registry events
 * every 2 ms until the driver unloads. */
static VOID NTAPI LinkThread(PVOID context) {
    LARGE_INTEGER interval;
    (void)context;
    interval.QuadPart = -20000; /* 2 ms, relative */
    while (!g_stopping) {
        LockClock();
        WatchListings();
        UnlockClock();
        ApplyEvents();
        UpdateLinks();
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* Stops the link thread and removes every device object and its link. */
static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    PDEVICE_OBJECT device = driver->DeviceObject;
    InterlockedExchange(&g_stopping, 1);
    if (g_linkThread != NULL) {
        KeWaitForSingleObject(g_linkThread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(g_linkThread);
    }
    while (device != NULL) {
        PDEVICE_OBJECT next = device->NextDevice;
        AdapterExtension *adapter = device->DeviceExtension;
        SetLinked(adapter, FALSE);
        IoDeleteDevice(device);
        device = next;
    }
}

/* Creates the device object of Parameters\Adapters\<index>, when that key
 * names a device; its link comes from UpdateLinks. */
static void CreateAdapter(PDRIVER_OBJECT driver, ULONG index) {
    static const WCHAR prefix[] = L"\\DosDevices\\";
    HANDLE key;
    KEY_VALUE_PARTIAL_INFORMATION *name;
    WCHAR deviceBuffer[64];
    UNICODE_STRING deviceName;
    PDEVICE_OBJECT device;
    AdapterExtension *adapter;
    const WCHAR *text;
    ULONG chars, at, i;

    if (!NT_SUCCESS(OpenAdapterKey(index, &key))) {
        return;
    }
    name = ReadValue(key, L"DeviceName");
    ZwClose(key);
    if (name == NULL) {
        return;
    }
    FormatIndexedName(L"\\Device\\EdccaTestAdapter", index, deviceBuffer, 64);
    RtlInitUnicodeString(&deviceName, deviceBuffer);
    if (name->Type == REG_SZ && NT_SUCCESS(IoCreateDevice(driver, sizeof(AdapterExtension), &deviceName,
                                                          FILE_DEVICE_PHYSICAL_NETCARD, 0, FALSE, &device))) {
        adapter = device->DeviceExtension;
        RtlZeroMemory(adapter, sizeof *adapter);
        adapter->index = index;
        RtlCopyMemory(adapter->deviceBuffer, deviceBuffer, sizeof deviceBuffer);
        RtlInitUnicodeString(&adapter->deviceName, adapter->deviceBuffer);
        for (at = 0; prefix[at]; ++at) {
            adapter->linkBuffer[at] = prefix[at];
        }
        text = (const WCHAR *)name->Data;
        chars = name->DataLength / sizeof(WCHAR);
        for (i = 0; i < chars && text[i] != 0 && at + 1 < ARRAYSIZE(adapter->linkBuffer); ++i) {
            adapter->linkBuffer[at++] = text[i];
        }
        adapter->linkBuffer[at] = 0;
        RtlInitUnicodeString(&adapter->linkName, adapter->linkBuffer);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    Free(name);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING routine;
    ULONG index;
    HANDLE thread;
    USHORT bytes = registryPath->Length;
    if (bytes > sizeof g_serviceKeyBuffer - sizeof(WCHAR)) {
        bytes = sizeof g_serviceKeyBuffer - sizeof(WCHAR);
    }
    RtlCopyMemory(g_serviceKeyBuffer, registryPath->Buffer, bytes);
    g_serviceKeyBuffer[bytes / sizeof(WCHAR)] = 0;
    RtlInitUnicodeString(&g_serviceKey, g_serviceKeyBuffer);

    /* Not in the x64 import library (a macro over the shared user page there). */
    RtlInitUnicodeString(&routine, L"KeQuerySystemTime");
    g_querySystemTime = (QuerySystemTimeRoutine)MmGetSystemRoutineAddress(&routine);

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;

    g_driver = driver;
    for (index = 0; index < MAX_ADAPTERS; ++index) {
        CreateAdapter(driver, index);
    }
    UpdateLinks();
    if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, LinkThread, NULL))) {
        ObReferenceObjectByHandle(thread, SYNCHRONIZE, NULL, KernelMode, &g_linkThread, NULL);
        ZwClose(thread);
    }
    return STATUS_SUCCESS;
}
