// reg_file.cpp - regedit's .reg format, read into the simulated registry
// (reg_file.h). An 8-bit file's bytes are kept as they are (regedit converts
// them with the ANSI code page and RegQueryValueExA converts them back); a
// UTF-16LE file is read as UTF-8 and converted to the code page once parsed.

#include "formats/reg_file.h"

#include <algorithm>

#include "kit/core/kit_text.h"
#include "machine/host_extra.h"
#include "machine/text.h"

namespace sim {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";

// The values the program reads and decides by: a character in them that
// the code page lacks exactly would read as Windows' best fit, unknown here.
constexpr const char *kReadValues[] = {"HardwareID", "Driver", "NetCfgInstanceId", "DeviceVxDs",
                                       "PROCESSOR_ARCHITECTURE"};

// One line of the file: 8-bit text as it is, UTF-16 text as UTF-8.
struct TextLine {
    int number = 0;
    std::string text;
};

struct RegOperation {
    enum class Kind { CreateKey, DeleteTree, SetValue, DeleteValue } kind;
    std::string keyPath;
    std::string valueName;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    int line = 0;
};

struct Fault {
    int line = 0;
    std::string message;
};

// Reads the run of hex digits at *pos into *value and moves past it.
// Returns whether it held one to `most` digits.
bool ReadHexRun(std::string_view text, size_t *pos, size_t most, std::uint32_t *value) {
    size_t digits = 0;
    for (; *pos < text.size() && kit::ReadHexDigit(text[*pos]) >= 0; ++*pos, ++digits) {
        *value = *value << 4 | static_cast<std::uint32_t>(kit::ReadHexDigit(text[*pos]));
    }
    return digits > 0 && digits <= most;
}

// Takes a line and a position in it (at most its length). Returns the position of the first non-blank from there.
size_t SkipBlanks(std::string_view text, size_t pos) {
    return std::min(text.find_first_not_of(" \t", pos), text.size());
}

// True when only blanks, or blanks and a ; comment, remain from pos.
bool OnlyCommentFollows(std::string_view text, size_t pos) {
    pos = SkipBlanks(text, pos);
    return pos == text.size() || text[pos] == ';';
}

// Splits text into lines, breaking at CR, LF or CR LF as regedit does.
template <typename Text> std::vector<Text> SplitLines(const Text &text) {
    std::vector<Text> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.find_first_of(Text{'\r', '\n'}, start), text.size());
        lines.push_back(text.substr(start, end - start));
        if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') {
            ++end;
        }
        start = end + 1;
    }
    return lines;
}

// Takes UTF-16LE bytes (an odd last byte is no character). Returns them as
// UTF-16 units.
std::u16string ReadUnits(std::string_view bytes) {
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units.push_back(
            static_cast<char16_t>(static_cast<std::uint8_t>(bytes[i]) | static_cast<std::uint8_t>(bytes[i + 1]) << 8));
    }
    return units;
}

} // namespace

std::string EncodeUtf8(std::u16string_view units) {
    std::string text;
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t point = units[i];
        if (point >= 0xD800 && point < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            point = 0x10000 + ((point - 0xD800) << 10) + (units[++i] - 0xDC00);
        }
        if (point < 0x80) {
            text += static_cast<char>(point);
            continue;
        }
        int const trail = point < 0x800 ? 1 : point < 0x10000 ? 2 : 3;
        text += static_cast<char>(((0xFF00 >> (trail + 1)) & 0xFF) | (point >> (6 * trail)));
        for (int shift = 6 * (trail - 1); shift >= 0; shift -= 6) {
            text += static_cast<char>(0x80 | ((point >> shift) & 0x3F));
        }
    }
    return text;
}

namespace {

// Turns the file's bytes into numbered lines: 8-bit text as it is, UTF-16
// text as UTF-8. regedit tells a Unicode file only by its UTF-16LE
// byte-order mark; anything else is 8-bit text.
bool DecodeFile(std::string_view bytes, bool *wide, std::vector<TextLine> *lines, Fault *fault) {
    *wide =
        bytes.size() >= 2 && static_cast<std::uint8_t>(bytes[0]) == 0xFF && static_cast<std::uint8_t>(bytes[1]) == 0xFE;
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        // regedit reads this as 8-bit text whose first line is then no header.
        *fault = {1, "UTF-8 byte-order mark: regedit does not read UTF-8 files; save the file as ANSI or UTF-16LE"};
        return false;
    }
    std::vector<std::string> texts;
    if (*wide) {
        for (const std::u16string &units : SplitLines(ReadUnits(bytes.substr(2)))) {
            texts.push_back(EncodeUtf8(units));
        }
    } else {
        texts = SplitLines(std::string(bytes));
    }
    for (size_t n = 0; n < texts.size(); ++n) {
        if (texts[n].find('\0') != std::string::npos) {
            *fault = {static_cast<int>(n + 1), *wide ? "NUL character in the text" : "NUL byte in the text"};
            return false;
        }
        lines->push_back({static_cast<int>(n + 1), std::move(texts[n])});
    }
    return true;
}

// Reads the file's lines into a list of operations; nothing is applied here.
class Parser {
  public:
    Parser(std::vector<TextLine> lines, bool wide) : lines_(std::move(lines)), wide_(wide) {}

    bool Parse(std::vector<RegOperation> *operations, Fault *fault);
    const std::vector<Fault> &Warnings() const { return warnings_; }

  private:
    enum class Section { None, Key, Deletion };

    bool Fail(int line, std::string message) {
        fault_ = {line, std::move(message)};
        return false;
    }
    bool CheckHeader();
    bool ParseLine(const TextLine &line);
    bool ParseKeyLine(const TextLine &line, size_t pos);
    bool ParseValueLine(const TextLine &line, size_t pos);
    bool ParseQuoted(const TextLine &line, size_t *pos, const char *what, std::string *out);
    bool ParseDword(const TextLine &line, size_t pos, std::vector<std::uint8_t> *data);
    bool ParseHexType(const TextLine &line, size_t *pos, std::uint32_t *type);
    bool ParseHexBytes(size_t pos, std::vector<std::uint8_t> *data);
    void PrepareStringData(RegOperation *operation);

    std::vector<TextLine> lines_;
    bool wide_;
    size_t next_ = 0; // index of the line after the one being parsed
    Section section_ = Section::None;
    std::string keyPath_;
    std::vector<RegOperation> operations_;
    Fault fault_;
    std::vector<Fault> warnings_;
};

bool Parser::Parse(std::vector<RegOperation> *operations, Fault *fault) {
    bool parsed = CheckHeader();
    while (parsed && next_ < lines_.size()) {
        parsed = ParseLine(lines_[next_++]);
    }
    if (!parsed) {
        *fault = fault_;
        return false;
    }
    *operations = std::move(operations_);
    return true;
}

// The first line must be one of the two headers, blanks before it allowed and
// nothing after it (regedit imports nothing from any other file).
bool Parser::CheckHeader() {
    if (lines_.empty()) {
        return Fail(1, "empty file: no \"REGEDIT4\" header");
    }
    const TextLine &first = lines_[next_++];
    std::string_view header = std::string_view(first.text).substr(SkipBlanks(first.text, 0));
    return header == kHeader4 || header == kHeader5 ||
           Fail(first.number, "first line is not \"REGEDIT4\" or \"Windows Registry Editor Version 5.00\"");
}

bool Parser::ParseLine(const TextLine &line) {
    size_t pos = SkipBlanks(line.text, 0);
    if (pos == line.text.size() || line.text[pos] == ';') {
        return true;
    }
    switch (line.text[pos]) {
    case '[':
        return ParseKeyLine(line, pos + 1);
    case '@':
    case '"':
        return ParseValueLine(line, pos);
    default:
        return Fail(line.number, "unexpected text (expected [key], \"name\"=, @= or a ; comment)");
    }
}

// [HKEY_LOCAL_MACHINE\path] opens (creating) a key; [-HKEY_LOCAL_MACHINE\path]
// deletes a tree. regedit takes the key name up to the line's last ']'.
bool Parser::ParseKeyLine(const TextLine &line, size_t pos) {
    std::string_view text = line.text;
    if (pos == text.size() || SkipBlanks(text, pos) != pos) {
        return Fail(line.number, "blank after '[' (regedit ignores the line)");
    }
    size_t close = text.rfind(']');
    if (close == std::string_view::npos || close < pos) {
        return Fail(line.number, "key name without its closing ']'");
    }
    if (!OnlyCommentFollows(text, close + 1)) {
        return Fail(line.number, "text after the key name's ']'");
    }

    std::string_view name = text.substr(pos, close - pos);
    bool deletion = !name.empty() && name.front() == '-';
    if (deletion) {
        name.remove_prefix(1);
    }
    size_t slash = name.find('\\');
    std::string_view root = name.substr(0, slash);
    if (!EqualsIgnoreCase(root, kRootName)) {
        static const char *const kOtherRoots[] = {"HKEY_CURRENT_USER", "HKEY_USERS", "HKEY_CLASSES_ROOT",
                                                  "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
        if (EqualsIgnoreCase(root, "HKLM")) {
            return Fail(line.number, "regedit does not know the abbreviation HKLM; write HKEY_LOCAL_MACHINE");
        }
        if (std::any_of(std::begin(kOtherRoots), std::end(kOtherRoots),
                        [root](const char *other) { return EqualsIgnoreCase(root, other); })) {
            return Fail(line.number, "only HKEY_LOCAL_MACHINE exists on this machine, not " + std::string(root));
        }
        return Fail(line.number, "unknown root key '" + std::string(root) + "'");
    }
    std::string_view path = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
    if (IsBadKeyPath(path)) {
        return Fail(line.number, "key path with a doubled backslash after the root");
    }
    if (size_t const depth = CountKeyLevels(path); depth > kMostKeyLevels) {
        return Fail(line.number, "key " + std::to_string(depth) + " levels deep; Windows nests keys " +
                                     std::to_string(kMostKeyLevels) + " levels deep at most");
    }

    if (deletion && path.find_first_not_of('\\') == std::string_view::npos) {
        return Fail(line.number, "cannot delete HKEY_LOCAL_MACHINE itself");
    }
    keyPath_ = std::string(path);
    operations_.push_back(
        {deletion ? RegOperation::Kind::DeleteTree : RegOperation::Kind::CreateKey, keyPath_, {}, 0, {}, line.number});
    section_ = deletion ? Section::Deletion : Section::Key;
    return true;
}

// Reads a quoted text from just after its opening quote to just after its
// closing one, undoing the escapes regedit knows: \\ \" \n \r.
bool Parser::ParseQuoted(const TextLine &line, size_t *pos, const char *what, std::string *out) {
    std::string_view text = line.text;
    size_t i = *pos;
    for (; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] != '\\') {
            out->push_back(text[i]);
            continue;
        }
        if (++i == text.size()) {
            break;
        }
        if (text[i] == '0') {
            return Fail(line.number, std::string("\\0 in a ") + what + " (regedit refuses it)");
        }
        if (std::string_view("\\\"nr").find(text[i]) == std::string_view::npos) {
            return Fail(line.number, std::string("unknown escape sequence '\\") + text[i] + "' in a " + what);
        }
        out->push_back(text[i] == 'n' ? '\n' : text[i] == 'r' ? '\r' : text[i]);
    }
    if (i >= text.size()) {
        return Fail(line.number, std::string("unterminated ") + what);
    }
    *pos = i + 1;
    return true;
}

bool Parser::ParseValueLine(const TextLine &line, size_t pos) {
    std::string_view text = line.text;
    if (section_ == Section::None) {
        return Fail(line.number, "value before any [key] line");
    }
    if (section_ == Section::Deletion) {
        return Fail(line.number, "value in a [-key] deletion section");
    }

    std::string name; // "" for @, the default value
    if (text[pos++] == '"' && !ParseQuoted(line, &pos, "value name", &name)) {
        return false;
    }
    pos = SkipBlanks(text, pos);
    if (pos == text.size() || text[pos] != '=') {
        return Fail(line.number, "missing '=' after the value name");
    }
    pos = SkipBlanks(text, pos + 1);
    text = text.substr(0, std::max(pos, text.find_last_not_of(" \t") + 1)); // regedit trims blanks at the line's end

    RegOperation operation{RegOperation::Kind::SetValue, keyPath_, name, 0, {}, line.number};
    if (text.substr(pos, 1) == "-") {
        if (!OnlyCommentFollows(text, pos + 1)) {
            return Fail(line.number, "text after '-'");
        }
        operation.kind = RegOperation::Kind::DeleteValue;
    } else if (text.substr(pos, 1) == "\"") {
        std::string value;
        ++pos;
        if (!ParseQuoted(line, &pos, "string", &value)) {
            return false;
        }
        if (!OnlyCommentFollows(text, pos)) {
            return Fail(line.number, "text after the string's closing quote");
        }
        operation.type = host::REG_SZ;
        operation.data.assign(value.begin(), value.end());
        operation.data.push_back(0);
    } else if (text.substr(pos, 6) == "dword:") {
        operation.type = host::REG_DWORD;
        if (!ParseDword(line, pos + 6, &operation.data)) {
            return false;
        }
    } else if (text.substr(pos, 3) == "hex") {
        pos += 3;
        if (!ParseHexType(line, &pos, &operation.type) || !ParseHexBytes(pos, &operation.data)) {
            return false;
        }
        PrepareStringData(&operation);
    } else {
        return Fail(line.number, "unknown value type (expected \"text\", dword:, hex:, hex(n): or -)");
    }
    operations_.push_back(std::move(operation));
    return true;
}

// dword: takes one to eight hex digits, blanks around them allowed.
bool Parser::ParseDword(const TextLine &line, size_t pos, std::vector<std::uint8_t> *data) {
    std::string_view text = line.text;
    pos = SkipBlanks(text, pos);
    std::uint32_t value = 0;
    if (!ReadHexRun(text, &pos, 8, &value) || !OnlyCommentFollows(text, pos)) {
        return Fail(line.number, "dword: needs one to eight hex digits");
    }
    for (int shift = 0; shift < 32; shift += 8) {
        data->push_back(static_cast<std::uint8_t>(value >> shift));
    }
    return true;
}

// After "hex": either ':' (REG_BINARY) or "(n):" with n in hex.
bool Parser::ParseHexType(const TextLine &line, size_t *pos, std::uint32_t *type) {
    std::string_view text = line.text;
    if (text.substr(*pos, 1) == ":") {
        *type = host::REG_BINARY;
        ++*pos;
        return true;
    }
    size_t i = *pos + 1;
    *type = 0;
    if (text.substr(*pos, 1) != "(" || !ReadHexRun(text, &i, 8, type) || text.substr(i, 2) != "):") {
        return Fail(line.number, "unknown value type (expected hex: or hex(n): with n in hex)");
    }
    *pos = i + 2;
    return true;
}

// Reads comma-separated bytes of one or two hex digits. A backslash after a
// comma continues the list on the next line that is neither blank nor a
// comment, as regedit writes long values.
bool Parser::ParseHexBytes(size_t pos, std::vector<std::uint8_t> *data) {
    const TextLine *line = &lines_[next_ - 1];
    for (;;) {
        std::string_view text = line->text;
        pos = SkipBlanks(text, pos);
        if (pos == text.size() || text[pos] == ';') {
            return true;
        }
        if (text[pos] == '\\') {
            if (!OnlyCommentFollows(text, pos + 1)) {
                return Fail(line->number, "text after the continuation backslash");
            }
            while (next_ < lines_.size() && OnlyCommentFollows(lines_[next_].text, 0)) {
                ++next_;
            }
            if (next_ == lines_.size()) {
                return Fail(line->number, "file ends inside continued hex data");
            }
            line = &lines_[next_++];
            pos = SkipBlanks(line->text, 0);
            if (kit::ReadHexDigit(line->text[pos]) < 0) {
                return Fail(line->number, "continued hex data does not go on with a hex byte");
            }
            continue;
        }
        std::uint32_t value = 0;
        if (!ReadHexRun(text, &pos, 2, &value)) {
            return Fail(line->number, "hex data needs bytes of one or two hex digits");
        }
        data->push_back(static_cast<std::uint8_t>(value));
        if (pos < text.size() && text[pos] == ',') {
            ++pos;
            continue;
        }
        if (!OnlyCommentFollows(text, pos)) {
            return Fail(line->number, "expected ',' between hex bytes");
        }
        return true;
    }
}

// regedit gives hex(1), hex(2) and hex(7) data a closing NUL when it lacks
// one, and takes the bytes as text of the file's own kind: 8-bit text from an
// 8-bit file (kept as it is here), UTF-16LE from a UTF-16 file (UTF-8 here
// until converted, an odd last byte dropped), whatever the header says. An
// 8-bit file's data that reads as UTF-16LE (a regedit export pasted as 8-bit
// text) is what the file says, so it stays, with a warning: the program
// reads its first character only.
void Parser::PrepareStringData(RegOperation *operation) {
    std::vector<std::uint8_t> &data = operation->data;
    if (!IsStringType(operation->type) || data.empty()) {
        return;
    }
    if (wide_) {
        std::u16string units = ReadUnits(std::string_view(reinterpret_cast<const char *>(data.data()), data.size()));
        if (units.empty() || units.back() != 0) {
            units.push_back(0);
        }
        std::string const text = EncodeUtf8(units);
        data.assign(text.begin(), text.end());
        return;
    }
    bool utf16 = data.size() % 2 == 0 && data[0] != 0;
    for (size_t i = 1; utf16 && i < data.size(); i += 2) {
        utf16 = data[i] == 0;
    }
    if (utf16) {
        warnings_.push_back({operation->line, "value \"" + operation->valueName + "\": " + TypeName(operation->type) +
                                                  " data reads as UTF-16LE (every second byte 0) in an 8-bit file, "
                                                  "where regedit takes it as 8-bit text; save the export as UTF-16"});
    }
    if (data.back() != 0) {
        data.push_back(0);
    }
}

// Takes UTF-8 text from a UTF-16 file, a code page and whether the text is
// one the program reads. Converts it in place. Returns false, with a fault,
// where the text a read value gives Windows cannot be told, or the code page
// cannot be converted to.
bool ConvertText(std::string *text, unsigned codePage, bool read, const RegOperation &operation, Fault *fault) {
    std::string converted;
    char32_t missing = 0;
    if (!EncodeCodePage(*text, codePage, &converted, &missing)) {
        *fault = {operation.line, "code page " + std::to_string(codePage) + " cannot be converted to"};
        return false;
    }
    if (missing != 0 && read) {
        *fault = {operation.line, "value \"" + operation.valueName + "\" holds " + CodePointText(missing) +
                                      ", which has no equivalent in code page " + std::to_string(codePage)};
        return false;
    }
    *text = std::move(converted);
    return true;
}

// Converts the names and text of a UTF-16 file's operations, once parsed,
// to the code page.
bool ConvertOperations(std::vector<RegOperation> *operations, unsigned codePage, Fault *fault) {
    for (RegOperation &operation : *operations) {
        bool const read = std::any_of(std::begin(kReadValues), std::end(kReadValues), [&operation](const char *name) {
            return EqualsIgnoreCase(operation.valueName, name);
        });
        auto const separators = std::count(operation.keyPath.begin(), operation.keyPath.end(), '\\');
        if (!ConvertText(&operation.keyPath, codePage, false, operation, fault) ||
            !ConvertText(&operation.valueName, codePage, false, operation, fault)) {
            return false;
        }
        // A double-byte character may end in the byte of '\\'.
        if (std::count(operation.keyPath.begin(), operation.keyPath.end(), '\\') != separators) {
            *fault = {operation.line, "a key name's character in code page " + std::to_string(codePage) +
                                          " ends in the byte of '\\', which the registry takes for a separator"};
            return false;
        }
        if (operation.kind == RegOperation::Kind::SetValue && IsStringType(operation.type)) {
            std::string text(operation.data.begin(), operation.data.end());
            if (!ConvertText(&text, codePage, read, operation, fault)) {
                return false;
            }
            operation.data.assign(text.begin(), text.end());
        }
    }
    return true;
}

void ApplyOperations(Registry &registry, const std::vector<RegOperation> &operations) {
    for (const RegOperation &operation : operations) {
        switch (operation.kind) {
        case RegOperation::Kind::CreateKey:
            registry.CreateKey(operation.keyPath);
            break;
        case RegOperation::Kind::DeleteTree:
            registry.DeleteKeyTree(operation.keyPath);
            break;
        case RegOperation::Kind::SetValue:
            registry.SetValue(operation.keyPath, operation.valueName, operation.type, operation.data);
            break;
        case RegOperation::Kind::DeleteValue:
            if (RegistryKey *key = registry.FindKey(operation.keyPath)) {
                key->DeleteValue(operation.valueName);
            }
            break;
        }
    }
}

} // namespace

std::string RegImportError::ToString() const {
    return line > 0 ? file + ":" + std::to_string(line) + ": " + message : file + ": " + message;
}

bool ImportRegBytes(Registry &registry, std::string_view bytes, const std::string &fileName, RegImportError *error,
                    unsigned codePage, std::vector<RegImportError> *warnings) {
    bool wide = false;
    std::vector<TextLine> lines;
    std::vector<RegOperation> operations;
    Fault fault;
    bool parsed = DecodeFile(bytes, &wide, &lines, &fault);
    if (parsed) {
        Parser parser(std::move(lines), wide);
        parsed = parser.Parse(&operations, &fault) && (!wide || ConvertOperations(&operations, codePage, &fault));
        for (const Fault &warning : parsed &&warnings != nullptr ? parser.Warnings() : std::vector<Fault>()) {
            warnings->push_back({fileName, warning.line, warning.message});
        }
    }
    if (!parsed) {
        if (error) {
            *error = {fileName, fault.line, fault.message};
        }
        return false;
    }
    ApplyOperations(registry, operations);
    return true;
}

} // namespace sim
