// The simulated registry: names, enumeration order and differences. Path
// rules and stored bytes are the contract suite's (both hosts), copies are
// shown by every example's registry changes.

#include <gtest/gtest.h>

#include "machine/registry.h"

namespace sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::vector<std::string> SubkeyNames(const RegistryKey &key) {
    std::vector<std::string> names;
    for (const RegistryKey *sub : key.Subkeys()) {
        names.push_back(sub->Name());
    }
    return names;
}

TEST(Registry, NamesMatchWithoutCaseAndKeepTheirFirstCase) {
    Registry registry; // "Software" and "Zyxel" hold both ends of a to z
    ASSERT_TRUE(registry.SetString("Software\\Zyxel", "EDCCAEnable", "1"));
    ASSERT_TRUE(registry.SetString("SOFTWARE\\zyxel", "edccaenable", "0"));

    for (const char *path : {"software\\ZYXEL", "Software\\Zyxel", "SOFTWARE\\zYXEL"}) {
        SCOPED_TRACE(path);
        const RegistryKey *key = registry.FindKey(path);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->Name(), "Zyxel");
        ASSERT_EQ(key->Values().size(), 1u);
        EXPECT_EQ(key->Values()[0].name, "EDCCAEnable");
        EXPECT_EQ(key->FindValue("EdccaEnable")->data, ToBytes(std::string_view("0\0", 2)));
    }
    EXPECT_EQ(SubkeyNames(*registry.Root()), std::vector<std::string>{"Software"});
}

TEST(Registry, SubkeysEnumerateByUpperCasedUtf16Name) {
    Registry registry;
    // Upper-casing puts '_' (0x5F) after 'Z'; UTF-16 puts S caron (U+0160, byte 0x8A) after E acute (U+00C9).
    for (const char *name : {"\x9A", "b", "_x", "\xE9", "A", "~", "a1", "Zeta"}) {
        registry.CreateKey(name);
    }
    EXPECT_EQ(SubkeyNames(*registry.Root()),
              (std::vector<std::string>{"A", "a1", "b", "Zeta", "_x", "~", "\xE9", "\x9A"}));
}

TEST(Registry, DiffListsChangesInEnumerationOrder) {
    Registry before;
    before.SetString("Keep", "Changed", "1");
    before.SetString("Keep", "Gone", "x");
    before.SetString("Keep", "Same", "s");
    before.SetValue("Keep", "Retyped", 1, {0});
    before.SetString("Old\\Sub", "o", "1");
    Registry after = before.Clone();
    after.SetString("keep", "changed", "2");
    after.FindKey("Keep")->DeleteValue("Gone");
    after.SetString("Keep", "SAME", "s"); // same data under another case: no change
    after.SetValue("Keep", "Retyped", 2, {0});
    after.SetString("Keep", "Added", "a");
    after.DeleteKeyTree("Old");
    after.SetValue("New\\Child", "c", 4, {1, 0, 0, 0});

    using K = RegistryChange::Kind;
    struct Expected {
        K kind;
        const char *key, *value;
        std::uint32_t type;
        Bytes data;
    } const expected[] = {
        {K::ValueSet, "Keep", "Added", 1, ToBytes(std::string_view("a\0", 2))},
        {K::ValueSet, "Keep", "Changed", 1, ToBytes(std::string_view("2\0", 2))},
        {K::ValueDeleted, "Keep", "Gone", 0, {}},
        {K::ValueSet, "Keep", "Retyped", 2, {0}},
        {K::KeyAdded, "New", "", 0, {}},
        {K::KeyAdded, "New\\Child", "", 0, {}},
        {K::ValueSet, "New\\Child", "c", 4, {1, 0, 0, 0}},
        {K::KeyDeleted, "Old", "", 0, {}},
    };
    std::vector<RegistryChange> changes = DiffRegistries(before, after);
    ASSERT_EQ(changes.size(), std::size(expected));
    for (size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(changes[i].kind, expected[i].kind);
        EXPECT_EQ(changes[i].keyPath, expected[i].key);
        EXPECT_EQ(changes[i].valueName, expected[i].value);
        EXPECT_EQ(changes[i].type, expected[i].type);
        EXPECT_EQ(changes[i].data, expected[i].data);
    }
    EXPECT_TRUE(DiffRegistries(after, after.Clone()).empty());
}

} // namespace
} // namespace sim
