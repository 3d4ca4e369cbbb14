// run_account.cpp - reading the program's trace into what its run did.

#include "kit/core/run_account.h"

#include <cstring>

namespace kit {
namespace {

// The program's trace texts that tell what an attempt did. This table is the
// one place outside the program that knows them.
constexpr char kAttemptStart[] = "--> DetectAdapter()";
constexpr char kAdapterCount[] = "Available adapter number = ";
constexpr char kAttemptDetected[] = "<-- DetectAdapter()";
constexpr char kNoAdapter[] = "No Available Adapter";
constexpr char kDriverKeyLine[] = "RegOpenKeyEx 'System\\CurrentControlSet\\Control\\Class\\";
constexpr char kRegionLine[] = " GetSupportCountryRegion Offset 0x38 = 0x";
constexpr char kCompanion[] = " , 0x39 = 0x";
// What the queries after detection print; where one text holds another
// (the region line the EEPROM line's), the longer comes first.
enum class QueryText { RegionLine, EepromLine, NoDeviceFile, DeviceFileNotOpened, QueryFailed };
struct QueryTextEntry {
    const char *text;
    QueryText what;
};
constexpr QueryTextEntry kQueryTexts[] = {
    {kRegionLine, QueryText::RegionLine},
    {" Offset 0x38 = 0x", QueryText::EepromLine},
    {"[VT][ZoWLAPI] QueryOID Get Mac file failed!", QueryText::NoDeviceFile},
    {"[VT][ZoWLAPI] QueryOID create Mac file failed!", QueryText::DeviceFileNotOpened},
    {"[VT][ZoWLAPI] QueryOID Failed!", QueryText::QueryFailed},
};
struct EndingText {
    const char *text;
    bool atLineStart; // the text begins its line; else it may stand anywhere in it
    AttemptEnd end;
};
constexpr EndingText kEndings[] = {
    {kRegionLine, false, AttemptEnd::RegionLine},
    {"Cannot find any adapter card !", true, AttemptEnd::NoAdapterCard},
    {"RegOpenKeyEx '", true, AttemptEnd::DriverKeyNotOpened},
    {"RegSetValueEx REGSTR_RADIO '", true, AttemptEnd::ValueNotSet},
};

// Takes a line (without its end) and a text. Returns where the text stands
// in the line, or nullptr.
const char *FindInLine(const char *line, std::size_t length, const char *text) {
    std::size_t const size = std::strlen(text);
    for (std::size_t at = 0; at + size <= length; ++at) {
        if (std::memcmp(line + at, text, size) == 0) {
            return line + at;
        }
    }
    return nullptr;
}

// Takes text and its length. Returns the hexadecimal number it begins with,
// in the program's lower-case digits (msvcrt's %x), or -1 without a digit or
// with more than a long holds.
long ReadHex(const char *text, std::size_t length) {
    constexpr std::size_t kMostDigits = 7;
    long value = 0;
    std::size_t digits = 0;
    for (; digits < length; ++digits) {
        char const c = text[digits];
        int const digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            break;
        }
        if (digits == kMostDigits) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return digits == 0 ? -1 : value;
}

// Takes text and its length. Returns the decimal number it begins with
// (blanks before it skipped), or -1 without a digit.
int ReadDecimal(const char *text, std::size_t length) {
    std::size_t at = 0;
    while (at < length && text[at] == ' ') {
        ++at;
    }
    int value = 0;
    std::size_t const first = at;
    for (; at < length && at - first < 6 && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
    }
    return at == first ? -1 : value;
}

// Takes a line (without its end). Returns whether it is an attempt's first.
bool StartsAttempt(const char *line, std::size_t length) {
    return length >= sizeof kAttemptStart - 1 && std::memcmp(line, kAttemptStart, sizeof kAttemptStart - 1) == 0;
}

// Takes a line (without its end). Returns the adapter count it prints, or
// -1 when it prints none (a negative count reads as 0).
int ReadAdapterCount(const char *line, std::size_t length) {
    const char *count = FindInLine(line, length, kAdapterCount);
    if (count == nullptr) {
        return -1;
    }
    std::size_t const skip = static_cast<std::size_t>(count - line) + sizeof kAdapterCount - 1;
    int const number = ReadDecimal(line + skip, length - skip);
    return number < 0 ? 0 : number;
}

// Takes text after an attempt's detection and its length. Fills the
// record's answers, reading the texts in the order the program prints them.
void ReadQueries(const char *text, std::size_t length, AttemptRecord *record) {
    bool failed = false; // a query failed since the last value line
    for (std::size_t at = 0; at < length; ++at) {
        for (const QueryTextEntry &entry : kQueryTexts) {
            std::size_t const size = std::strlen(entry.text);
            if (size > length - at || std::memcmp(text + at, entry.text, size) != 0) {
                continue;
            }
            const char *value = text + at + size;
            std::size_t const left = length - at - size;
            if (entry.what == QueryText::RegionLine && !record->regionLine) {
                record->regionLine = true;
                record->regionQueryFailed = failed;
                const char *companion = FindInLine(value, left, kCompanion);
                long const high = ReadHex(value, left);
                long const low =
                    companion == nullptr
                        ? -1
                        : ReadHex(companion + sizeof kCompanion - 1,
                                  left - static_cast<std::size_t>(companion - value) - (sizeof kCompanion - 1));
                bool const answered = !failed && high >= 0 && high <= 0xFF && low >= 0 && low <= 0xFF;
                record->regionByte = answered ? static_cast<int>(high) : -1;
                record->companionByte = answered ? static_cast<int>(low) : -1;
            } else if (entry.what == QueryText::EepromLine && !record->eepromLine && !record->regionLine) {
                record->eepromLine = true;
                record->eepromQueryFailed = failed;
                long const byte = ReadHex(value, left);
                record->eepromByte = !failed && byte >= 0 && byte <= 0xFF ? static_cast<int>(byte) : -1;
            } else if (entry.what == QueryText::NoDeviceFile || entry.what == QueryText::DeviceFileNotOpened) {
                record->deviceFileFailed = true;
            }
            failed = entry.what != QueryText::RegionLine && entry.what != QueryText::EepromLine;
            at += size - 1;
            break;
        }
    }
}

// Takes the account so far and one line of the trace. Updates the account.
void ReadLine(const char *line, std::size_t length, std::size_t offset, RunAccount *account) {
    if (StartsAttempt(line, length)) {
        ++account->attempts;
        account->adaptersCounted = 0;
        account->lastAttemptEnd = AttemptEnd::None;
        account->region = -1;
        account->lastAttemptAt = offset;
        return;
    }
    if (account->attempts == 0) {
        return;
    }
    int const count = ReadAdapterCount(line, length);
    if (count >= 0) {
        account->adaptersCounted = count;
        account->adapterEverFound = account->adapterEverFound || count > 0;
    }
    for (const EndingText &ending : kEndings) {
        const char *at = FindInLine(line, length, ending.text);
        if (at == nullptr || (ending.atLineStart && at != line)) {
            continue;
        }
        account->lastAttemptEnd = ending.end;
        if (ending.end == AttemptEnd::RegionLine) {
            std::size_t const skip = static_cast<std::size_t>(at - line) + sizeof kRegionLine - 1;
            account->region = ReadHex(line + skip, length - skip);
        }
        break;
    }
}

} // namespace

void ReadRunAccount(const char *trace, std::size_t length, RunAccount *account) {
    *account = RunAccount();
    std::size_t start = 0;
    while (start < length) {
        const void *feed = std::memchr(trace + start, '\n', length - start);
        // A CR before the LF stays in the line: every text is matched by its
        // start, and every number ends at it.
        std::size_t const end =
            feed == nullptr ? length : static_cast<std::size_t>(static_cast<const char *>(feed) - trace);
        ReadLine(trace + start, end - start, start, account);
        start = end + 1;
    }
    bool const regionDecides = account->lastAttemptEnd == AttemptEnd::RegionLine;
    if (account->attempts == 0) {
        account->end = TraceEnd::NoRun;
    } else if (regionDecides && account->region == 1) {
        account->end = TraceEnd::Written;
    } else if (regionDecides && (account->region == 2 || account->region == 9)) {
        account->end = TraceEnd::Declined;
    } else {
        account->end = account->attempts >= kProgramAttempts ? TraceEnd::Exhausted : TraceEnd::CutShort;
    }
}

void ReadAttempt(const char *attempt, std::size_t length, AttemptRecord *record) {
    *record = AttemptRecord();
    std::size_t start = 0;
    while (start < length && !record->detected) {
        const void *feed = std::memchr(attempt + start, '\n', length - start);
        std::size_t const end =
            feed == nullptr ? length : static_cast<std::size_t>(static_cast<const char *>(feed) - attempt);
        int const count = ReadAdapterCount(attempt + start, end - start);
        record->adaptersCounted = count >= 0 ? count : record->adaptersCounted;
        record->noAdapter = record->noAdapter || FindInLine(attempt + start, end - start, kNoAdapter) != nullptr;
        record->detected = end - start >= sizeof kAttemptDetected - 1 &&
                           std::memcmp(attempt + start, kAttemptDetected, sizeof kAttemptDetected - 1) == 0;
        start = end + 1;
    }
    if (record->detected && start < length) {
        ReadQueries(attempt + start, length - start, record);
    }
}

TraceFault CheckWholeTrace(const char *trace, std::size_t length, std::size_t *at) {
    *at = 0;
    if (length == 0 || FindAttemptStart(trace, length, 0) != 0) {
        return TraceFault::Foreign;
    }
    std::size_t nameAt = length; // where the last driver key's instance name begins
    for (; *at < length; ++*at) {
        std::size_t const left = length - *at;
        if ((*at == 0 || trace[*at - 1] == '\n') && left >= sizeof kDriverKeyLine - 1 &&
            std::memcmp(trace + *at, kDriverKeyLine, sizeof kDriverKeyLine - 1) == 0) {
            const char *name = trace + *at + sizeof kDriverKeyLine - 1;
            const void *split = std::memchr(name, '\\', left - (sizeof kDriverKeyLine - 1));
            nameAt = split == nullptr ? length : static_cast<std::size_t>(static_cast<const char *>(split) - trace) + 1;
        }
        auto const byte = static_cast<unsigned char>(trace[*at]);
        bool const inName = *at >= nameAt && *at - nameAt < 4 && byte != 0 && byte != '\\';
        if ((byte < ' ' || byte > '~') && byte != '\n' && !inName) {
            return TraceFault::Unprintable;
        }
    }
    if (trace[length - 1] != '\n') {
        return TraceFault::CutMidLine;
    }
    RunAccount account;
    ReadRunAccount(trace, length, &account);
    return account.attempts > kProgramAttempts ? TraceFault::TooManyAttempts
           : account.end == TraceEnd::CutShort ? TraceFault::CutShort
                                               : TraceFault::None;
}

std::size_t FindAttemptStart(const char *trace, std::size_t length, std::size_t from) {
    std::size_t at = from;
    // From the middle of a line, the next line is the first that may begin one.
    if (at > 0 && at < length && trace[at - 1] != '\n') {
        const void *feed = std::memchr(trace + at, '\n', length - at);
        at = feed == nullptr ? length : static_cast<std::size_t>(static_cast<const char *>(feed) - trace) + 1;
    }
    while (at < length) {
        const void *feed = std::memchr(trace + at, '\n', length - at);
        std::size_t const end =
            feed == nullptr ? length : static_cast<std::size_t>(static_cast<const char *>(feed) - trace);
        if (StartsAttempt(trace + at, end - at)) {
            return at;
        }
        at = end + 1;
    }
    return length;
}

} // namespace kit
