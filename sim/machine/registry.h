// registry.h - the simulated machine's registry (HKEY_LOCAL_MACHINE only).
//
// Keys and values behave as Windows keeps them: names are compared without
// regard to case and keep the case they were created with; a value keeps its
// type and its raw bytes exactly (a REG_SZ may lack its NUL or carry bytes
// after it); subkeys enumerate in the order Windows gives them (sorted by
// upper-cased name). Names are 8-bit text in the machine's ANSI code page,
// 1252; case folding (UpperCase, machine/text.h) and ordering follow what
// Windows does with the UTF-16 forms of those names.

#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct RegistryValue {
    std::string name; // as created; "" is the key's default value
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

class RegistryKey {
  public:
    explicit RegistryKey(std::string name) : name_(std::move(name)) {}

    const std::string &Name() const { return name_; }

    // Subkeys: a direct child by name (one path component), or null.
    RegistryKey *FindSubkey(std::string_view name) const;
    std::vector<RegistryKey *> Subkeys() const; // enumeration order

    // Values.
    const RegistryValue *FindValue(std::string_view name) const;
    // Replacing a value keeps the name's first casing.
    void SetValue(std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data);
    bool DeleteValue(std::string_view name);
    const std::vector<RegistryValue> &Values() const { return values_; }

  private:
    // Orders upper-cased names as Windows does: by their UTF-16 code units.
    struct NameOrder {
        bool operator()(const std::string &a, const std::string &b) const;
    };

    std::shared_ptr<RegistryKey> CopyTree() const;

    std::string name_;
    std::vector<RegistryValue> values_;                                      // creation order
    std::map<std::string, std::shared_ptr<RegistryKey>, NameOrder> subkeys_; // keyed by upper-cased name
    friend class Registry;
};

class Registry {
  public:
    Registry();
    // Copies are deep: two registries never share keys (handles taken with
    // ShareKey keep pointing into the registry they came from).
    Registry(const Registry &other);
    Registry &operator=(const Registry &other);
    Registry(Registry &&) noexcept = default;
    Registry &operator=(Registry &&) noexcept = default;

    // Paths are relative to HKEY_LOCAL_MACHINE, components separated by
    // backslashes, compared without regard to case. "" is the root itself.
    // As on Windows NT, a leading backslash makes the path invalid (see
    // IsBadKeyPath: FindKey and CreateKey give null), while doubled and
    // trailing backslashes are skipped ("A\\B\\" names A\B).
    RegistryKey *Root() const { return root_.get(); }
    RegistryKey *FindKey(std::string_view path) const;
    RegistryKey *CreateKey(std::string_view path); // creates missing parents; null beyond kMostKeyLevels
    bool DeleteKeyTree(std::string_view path);     // false when missing, invalid, or the root

    // A key for an open handle, which keeps it alive. Null when missing.
    std::shared_ptr<RegistryKey> ShareKey(std::string_view path) const;

    // Conveniences over FindKey/CreateKey; the setters create missing keys and
    // return false only for an invalid path.
    const RegistryValue *FindValue(std::string_view keyPath, std::string_view valueName) const;
    bool SetValue(std::string_view keyPath, std::string_view valueName, std::uint32_t type,
                  std::vector<std::uint8_t> data);
    bool SetString(std::string_view keyPath, std::string_view valueName, std::string_view text); // REG_SZ + NUL

    // A deep copy (for snapshots and diffs).
    Registry Clone() const;

  private:
    std::shared_ptr<RegistryKey> root_;
};

// Windows nests keys 512 levels deep at most ("Registry element size
// limits"); CreateKey makes none deeper, so walks over the tree stay bounded.
constexpr size_t kMostKeyLevels = 512;
size_t CountKeyLevels(std::string_view path); // its non-empty components
// Takes a value or null. Returns its data up to the first NUL; "" for null.
std::string TextOf(const RegistryValue *value);
// Takes a key path and a path below it, either possibly "". Returns them joined by a backslash.
std::string JoinKeyPath(const std::string &base, const std::string &sub);

// True for a path RegOpenKeyEx/RegCreateKeyEx refuse with ERROR_BAD_PATHNAME
// (161): one that starts with a backslash.
bool IsBadKeyPath(std::string_view path);
// Takes a key path. Returns false for a bad one; else appends its non-empty
// components (doubled and trailing backslashes skipped, as Windows skips them).
bool SplitKeyPath(std::string_view path, std::vector<std::string_view> *components);

// Code page 1252, the machine's ANSI code page, as WideCharToMultiByte maps
// it (no best-fit: a unit without an exact 1252 byte gives false).
bool UnicodeToAnsi(std::uint16_t unit, std::uint8_t *byte);

// One difference between two registries, for reports and tests. The list
// follows enumeration order: at each key its value changes (by upper-cased
// name), then its subkeys. An added key is listed with each of its values
// (ValueSet) and each key below it; a deleted key is listed once, for its
// whole subtree. Renaming only the case of a name is no change.
struct RegistryChange {
    enum class Kind { KeyAdded, KeyDeleted, ValueSet, ValueDeleted } kind;
    std::string keyPath;   // as cased in the newer registry (older for deletions)
    std::string valueName; // empty for key changes
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data; // new data for ValueSet
};
std::vector<RegistryChange> DiffRegistries(const Registry &before, const Registry &after);

} // namespace sim
