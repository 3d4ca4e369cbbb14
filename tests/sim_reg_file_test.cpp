// Importing .reg files. The expected bytes of the encodings,
// hex(n) forms and data files were checked against "wine regedit /S" (Wine 8)
// read back through RegEnumValueA.

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "formats/reg_file.h"

namespace sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A UTF-16LE file with its byte-order mark, as regedit writes it.
std::string Utf16File(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::string Repeat(std::string_view text, int times) {
    std::string repeated;
    for (int i = 0; i < times; ++i) {
        repeated += text;
    }
    return repeated;
}

Registry ImportOrFail(std::string_view bytes) {
    Registry registry;
    RegImportError error;
    EXPECT_TRUE(ImportRegBytes(registry, bytes, "t.reg", &error)) << error.ToString();
    return registry;
}

void ExpectValue(const Registry &registry, const char *key, const char *name, std::uint32_t type, const Bytes &data) {
    const RegistryValue *value = registry.FindValue(key, name);
    ASSERT_NE(value, nullptr) << key << " " << name;
    EXPECT_EQ(value->type, type) << name;
    EXPECT_EQ(value->data, data) << name;
}

TEST(RegFile, EachValueFormGivesItsTypeAndBytes) {
    // A wide row's file is UTF-16 read in the code page; a narrow row's units are its bytes.
    struct Case {
        std::u16string line;
        const char *name;
        std::uint32_t type;
        Bytes data;
        bool wide = false;
        unsigned codePage = 1252;
        int warningLine = 0;
    } const cases[] = {
        {uR"("s"="a \"q\" \\p")", "s", 1, ToBytes(std::string_view("a \"q\" \\p\0", 9))},
        {uR"("s"="one\ntwo\rthree")", "s", 1, ToBytes(std::string_view("one\ntwo\rthree\0", 14))},
        {uR"("s"="")", "s", 1, {0}},
        {u"\"s\"=\"caf\xE9 \x80\"", "s", 1, ToBytes(std::string_view("caf\xE9 \x80\0", 7))},
        {uR"(@="d")", "", 1, {'d', 0}},
        {uR"("n\"\\\n"="x")", "n\"\\\n", 1, {'x', 0}},
        {u"  \"sp\" = \"x\"   ; comment", "sp", 1, {'x', 0}},
        {u"\"d\"=dword:0000ABCD", "d", 4, {0xCD, 0xAB, 0, 0}},
        {u"\"d\"=dword: 1 ; comment", "d", 4, {1, 0, 0, 0}},
        {u"\"b\"=hex:00,01,fe,FF", "b", 3, {0, 1, 0xFE, 0xFF}},
        {u"\"b\"=hex:0,f,", "b", 3, {0, 0xF}},
        {u"\"b\"=hex:", "b", 3, {}},
        {u"\"e\"=hex(2):41,42", "e", 2, {'A', 'B', 0}},
        {u"\"e\"=hex(2):41,00,42,00", "e", 2, {'A', 0, 'B', 0}, false, 1252, 3}, // UTF-16 read as 8-bit
        {u"\"m\"=hex(7):61,00,62,00,00", "m", 7, {'a', 0, 'b', 0, 0}},
        {u"\"z\"=hex(1):41,42", "z", 1, {'A', 'B', 0}},
        {u"\"n\"=hex(0):", "n", 0, {}},
        {u"\"q\"=hex(b):01,02,03,04,05,06,07,08", "q", 11, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"\"x\"=hex(12345678):5a", "x", 0x12345678, {0x5A}},
        {u"\"DriverDesc\"=\"\u0411\"", "DriverDesc", 1, {0xC1, 0}, true, 1251},
        {u"\"DriverDesc\"=\"\u0411\"", "DriverDesc", 1, {'?', 0}, true, 1252},
        {u"\"FriendlyName\"=\"\u4E2D\u6587\"", "FriendlyName", 1, {0xD6, 0xD0, 0xCE, 0xC4, 0}, true, 936},
    };
    for (const Case &c : cases) {
        std::u16string const text = u"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n" + c.line + u"\r\n";
        std::string const file = c.wide ? Utf16File(text) : std::string(text.begin(), text.end());
        SCOPED_TRACE(file);
        Registry registry;
        RegImportError error;
        std::vector<RegImportError> warnings;
        ASSERT_TRUE(ImportRegBytes(registry, file, "t.reg", &error, c.codePage, &warnings)) << error.ToString();
        ExpectValue(registry, "K", c.name, c.type, c.data);
        EXPECT_EQ(registry.FindKey("K")->Values().size(), 1u);
        EXPECT_EQ(warnings.size(), c.warningLine != 0 ? 1U : 0U);
        EXPECT_EQ(warnings.empty() ? 0 : warnings[0].line, c.warningLine);
    }
}

TEST(RegFile, HeadersEncodingsAndLineEndingsReadAlike) {
    const std::string body = "[HKEY_LOCAL_MACHINE\\Software\\T]\n\"s\"=\"v\"\n\"d\"=dword:00000002\n";
    auto withBreaks = [&](const std::string &header, const char *lineBreak) {
        std::string text = header + "\n\n" + body, out;
        for (char c : text) {
            out += c == '\n' ? std::string(lineBreak) : std::string(1, c);
        }
        return out;
    };
    auto wide = [](const std::string &text) { return Utf16File(std::u16string(text.begin(), text.end())); };
    const std::string files[] = {
        withBreaks("REGEDIT4", "\r\n"),     withBreaks("Windows Registry Editor Version 5.00", "\n"),
        withBreaks(" \tREGEDIT4", "\r"),    wide(withBreaks("Windows Registry Editor Version 5.00", "\r\n")),
        wide(withBreaks("REGEDIT4", "\n")),
    };
    for (const std::string &file : files) {
        Registry registry = ImportOrFail(file);
        ExpectValue(registry, "Software\\T", "s", 1, {'v', 0});
        ExpectValue(registry, "Software\\T", "d", 4, {2, 0, 0, 0});
    }
}

TEST(RegFile, Utf16TextAndStringDataBecomeCodePage1252) {
    // Either header: regedit decides by the byte-order mark alone.
    for (const char16_t *header : {u"Windows Registry Editor Version 5.00", u"REGEDIT4"}) {
        Registry registry =
            ImportOrFail(Utf16File(std::u16string(header) + u"\r\n[HKEY_LOCAL_MACHINE\\K\u00E9y\u20AC]\r\n"
                                                            u"\"Text\"=\"caf\u00E9 \u20AC\"\r\n"
                                                            u"\"Expand\"=hex(2):25,00,53,00,25,00,00,00\r\n"
                                                            u"\"NoNul\"=hex(2):41,00,42,00\r\n"
                                                            u"\"Odd\"=hex(2):41,00,00,00,42\r\n"
                                                            u"\"Multi\"=hex(7):61,00,00,00,e9,00,ac,20,00,00,00,00\r\n"
                                                            u"\"Bin\"=hex:41,00\r\n"
                                                            u"; \u0100 in a comment is harmless\r\n"));
        const char *key = "K\xE9y\x80";
        ASSERT_NE(registry.FindKey(key), nullptr);
        EXPECT_EQ(registry.FindKey(key)->Name(), key);
        ExpectValue(registry, key, "Text", 1, ToBytes(std::string_view("caf\xE9 \x80\0", 7)));
        ExpectValue(registry, key, "Expand", 2, {'%', 'S', '%', 0});
        ExpectValue(registry, key, "NoNul", 2, {'A', 'B', 0});
        ExpectValue(registry, key, "Odd", 2, {'A', 0});
        ExpectValue(registry, key, "Multi", 7, {'a', 0, 0xE9, 0x80, 0, 0});
        ExpectValue(registry, key, "Bin", 3, {'A', 0});
    }
}

TEST(RegFile, KeyLinesDeletionsAndContinuationsActAsRegedit) {
    Registry registry;
    registry.SetString("Software\\Old\\Deep", "x", "1");
    registry.SetString("Software\\Kept", "Gone", "1");
    registry.SetString("Software\\Kept", "", "default");
    registry.SetString("Software\\Kept", "Stays", "1");
    RegImportError error;
    ASSERT_TRUE(ImportRegBytes(registry,
                               "REGEDIT4\r\n"
                               "[-hkey_local_machine\\SOFTWARE\\old]\r\n"
                               "[-HKEY_LOCAL_MACHINE\\Software\\Missing]\r\n"
                               "[HKEY_LOCAL_MACHINE\\Software\\Kept]\r\n"
                               "\"GONE\"=-\r\n"
                               "@=- ; the default value\r\n"
                               "\"NeverThere\"=-\r\n"
                               "\"Long\"=hex:00,01,\\\r\n"
                               "\r\n"
                               "  ; a comment inside continued data\r\n"
                               "  02,\\ ; after the backslash\r\n"
                               "  03\r\n"
                               "[HKEY_LOCAL_MACHINE\\Software\\\\A]B\\]\r\n"
                               "[HKEY_LOCAL_MACHINE]\r\n"
                               "\"AtRoot\"=\"r\"\r\n" +
                                   ("[HKEY_LOCAL_MACHINE" + Repeat("\\K", 512) + "]\r\n"),
                               "t.reg", &error))
        << error.ToString();
    EXPECT_EQ(registry.FindKey("Software\\Old"), nullptr);
    EXPECT_EQ(registry.FindKey("Software\\Missing"), nullptr);
    const RegistryKey *kept = registry.FindKey("Software\\Kept");
    ASSERT_EQ(kept->Values().size(), 2u);
    EXPECT_EQ(kept->Values()[0].name, "Stays");
    ExpectValue(registry, "Software\\Kept", "Long", 3, {0, 1, 2, 3});
    EXPECT_NE(registry.FindKey("Software\\A]B"), nullptr);
    ExpectValue(registry, "", "AtRoot", 1, {'r', 0});
    EXPECT_NE(registry.FindKey(Repeat("K\\", 512)), nullptr);
}

TEST(RegFile, FaultsNameFileAndLineAndImportNothing) {
    const std::string ok = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\New]\r\n\"a\"=\"1\"\r\n[-HKEY_LOCAL_MACHINE\\Old]\r\n"
                           "[HKEY_LOCAL_MACHINE\\New]\r\n"; // five good lines first
    struct Case {
        std::string file;
        const char *expected;
    } const cases[] = {
        {"", "t.reg:1: empty file: no \"REGEDIT4\" header"},
        {"REGEDIT4 \r\n", "t.reg:1: first line is not \"REGEDIT4\" or \"Windows Registry Editor Version 5.00\""},
        {"\r\nREGEDIT4\r\n", "t.reg:1: first line is not \"REGEDIT4\" or \"Windows Registry Editor Version 5.00\""},
        {"\xEF\xBB\xBFREGEDIT4\r\n",
         "t.reg:1: UTF-8 byte-order mark: regedit does not read UTF-8 files; save the file as ANSI or UTF-16LE"},
        {ok + std::string("\"a\"=\"\0\"", 7), "t.reg:6: NUL byte in the text"},
        {Utf16File(u"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\New]\r\n\"HardwareID\"=hex(7):55,00,11,04,00,00,00,00\r\n"),
         "t.reg:3: value \"HardwareID\" holds U+0411, which has no equivalent in code page 1252"},
        {ok + "[HKEY_LOCAL_MACHINE" + Repeat("\\K", 513) + "]",
         "t.reg:6: key 513 levels deep; Windows nests keys 512 levels deep at most"},
        {ok + "[HKEY_LOCAL_MACHINE" + Repeat("\\K", 20000) + "]",
         "t.reg:6: key 20000 levels deep; Windows nests keys 512 levels deep at most"},
        {ok + "a=1", "t.reg:6: unexpected text (expected [key], \"name\"=, @= or a ; comment)"},
        {ok + "[ HKEY_LOCAL_MACHINE\\X]", "t.reg:6: blank after '[' (regedit ignores the line)"},
        {ok + "[HKEY_LOCAL_MACHINE\\X", "t.reg:6: key name without its closing ']'"},
        {ok + "[HKEY_LOCAL_MACHINE\\X] x", "t.reg:6: text after the key name's ']'"},
        {ok + "[HKLM\\X]", "t.reg:6: regedit does not know the abbreviation HKLM; write HKEY_LOCAL_MACHINE"},
        {ok + "[HKEY_CURRENT_USER\\X]",
         "t.reg:6: only HKEY_LOCAL_MACHINE exists on this machine, not HKEY_CURRENT_USER"},
        {ok + "[-HKEY_MACHINE\\X]", "t.reg:6: unknown root key 'HKEY_MACHINE'"},
        {ok + "[]", "t.reg:6: unknown root key ''"},
        {ok + "[HKEY_LOCAL_MACHINE\\\\X]", "t.reg:6: key path with a doubled backslash after the root"},
        {ok + "[-HKEY_LOCAL_MACHINE\\]", "t.reg:6: cannot delete HKEY_LOCAL_MACHINE itself"},
        {"REGEDIT4\r\n\"a\"=\"1\"", "t.reg:2: value before any [key] line"},
        {ok + "[-HKEY_LOCAL_MACHINE\\X]\r\n\"a\"=\"1\"", "t.reg:7: value in a [-key] deletion section"},
        {ok + "\"a\\0\"=\"1\"", "t.reg:6: \\0 in a value name (regedit refuses it)"},
        {ok + "\"a\"=\"\\t\"", "t.reg:6: unknown escape sequence '\\t' in a string"},
        {ok + "\"a=\"1\"", "t.reg:6: missing '=' after the value name"},
        {ok + "\"a\"=\"1", "t.reg:6: unterminated string"},
        {ok + "\"a\\\"=1", "t.reg:6: unterminated value name"},
        {ok + "@ \"1\"", "t.reg:6: missing '=' after the value name"},
        {ok + "\"a\"=- x", "t.reg:6: text after '-'"},
        {ok + "\"a\"=\"1\" x", "t.reg:6: text after the string's closing quote"},
        {ok + "\"a\"=dword:123456789", "t.reg:6: dword: needs one to eight hex digits"},
        {ok + "\"a\"=dword:0x1", "t.reg:6: dword: needs one to eight hex digits"},
        {ok + "\"a\"=DWORD:1", "t.reg:6: unknown value type (expected \"text\", dword:, hex:, hex(n): or -)"},
        {ok + "\"a\"=hex(0x2):00", "t.reg:6: unknown value type (expected hex: or hex(n): with n in hex)"},
        {ok + "\"a\"=hex:001", "t.reg:6: hex data needs bytes of one or two hex digits"},
        {ok + "\"a\"=hex:01,,02", "t.reg:6: hex data needs bytes of one or two hex digits"},
        {ok + "\"a\"=hex:01 ,02", "t.reg:6: expected ',' between hex bytes"},
        {ok + "\"a\"=hex:01,\\ x", "t.reg:6: text after the continuation backslash"},
        {ok + "\"a\"=hex:01,\\\r\n\r\n\"b\"=\"1\"", "t.reg:8: continued hex data does not go on with a hex byte"},
        {ok + "\"a\"=hex:01,\\\r\n; the end\r\n", "t.reg:6: file ends inside continued hex data"},
    };
    for (const Case &c : cases) {
        Registry registry;
        registry.SetString("Old", "x", "1");
        Registry before = registry.Clone();
        RegImportError error;
        EXPECT_FALSE(ImportRegBytes(registry, c.file, "t.reg", &error));
        EXPECT_EQ(error.ToString(), c.expected);
        EXPECT_TRUE(DiffRegistries(before, registry).empty()) << c.expected;
    }
}

// The data files, and the file Wine's regedit exported after importing them.
TEST(RegFile, DataFilesReadAsWineReadsThem) {
    auto import = [](Registry &registry, const char *name) {
        std::ifstream file(std::string(EDCCA_SOURCE_DIR "/tests/data/reg/") + name, std::ios::binary);
        std::string const bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        RegImportError error;
        EXPECT_TRUE(file && ImportRegBytes(registry, bytes, name, &error)) << name << " " << error.ToString();
    };
    Registry sources, exported;
    import(sources, "forms_ansi.reg");
    import(sources, "forms_utf16.reg");
    import(exported, "wine_export_v5.reg");
    EXPECT_TRUE(DiffRegistries(sources, exported).empty());

    const char *forms = "Software\\Test\\Forms";
    ASSERT_EQ(sources.FindKey(forms)->Values().size(), 18u);
    ExpectValue(sources, forms, "CaseValue", 1, ToBytes(std::string_view("second\0", 7)));
    EXPECT_EQ(sources.FindValue(forms, "CASEVALUE")->name, "CaseValue");
    EXPECT_EQ(sources.FindValue(forms, "Long")->data.size(), 32u);
    EXPECT_EQ(sources.FindKey("Software\\Test\\Tree")->Subkeys().size(), 1u);
    EXPECT_NE(sources.FindKey("Software\\Test\\Odd]Name"), nullptr);
}

} // namespace
} // namespace sim
