// registry.h - the simulated machine's registry (HKEY_LOCAL_MACHINE only).
//
// Keys and values behave as Windows keeps them: names are compared without
// regard to case and keep the case they were created with; a value keeps its
// type and its raw bytes exactly (a REG_SZ may lack its NUL or carry bytes
// after it); subkeys enumerate in the order Windows gives them (sorted by
// upper-cased name).

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
    RegistryKey *CreateSubkey(std::string_view name); // returns the existing one if present
    bool DeleteSubkeyTree(std::string_view name);
    std::vector<RegistryKey *> Subkeys() const; // enumeration order

    // Values.
    const RegistryValue *FindValue(std::string_view name) const;
    void SetValue(std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data);
    bool DeleteValue(std::string_view name);
    const std::vector<RegistryValue> &Values() const { return values_; }

    // A key deleted while a handle still refers to it stays alive but is marked.
    bool Deleted() const { return deleted_; }

  private:
    void MarkDeleted();

    std::string name_;
    bool deleted_ = false;
    std::vector<RegistryValue> values_; // creation order
    std::map<std::string, std::shared_ptr<RegistryKey>> subkeys_; // keyed by upper-cased name
    friend class Registry;
};

class Registry {
  public:
    Registry();

    // Paths are relative to HKEY_LOCAL_MACHINE, components separated by single
    // backslashes, compared without regard to case. "" is the root itself.
    RegistryKey *Root() const { return root_.get(); }
    RegistryKey *FindKey(std::string_view path) const;
    RegistryKey *CreateKey(std::string_view path); // creates missing parents
    bool DeleteKeyTree(std::string_view path);     // false when missing

    // Keeps a key alive for an open handle, even if it is deleted meanwhile.
    std::shared_ptr<RegistryKey> ShareKey(std::string_view path) const;

    // Conveniences over FindKey/CreateKey.
    const RegistryValue *FindValue(std::string_view keyPath, std::string_view valueName) const;
    void SetValue(std::string_view keyPath, std::string_view valueName, std::uint32_t type,
                  std::vector<std::uint8_t> data);
    void SetString(std::string_view keyPath, std::string_view valueName, std::string_view text); // REG_SZ + NUL

    // A deep copy (for snapshots and diffs).
    Registry Clone() const;

  private:
    std::shared_ptr<RegistryKey> root_;
};

// Case-insensitive comparison as the registry does it (ASCII letters folded).
std::string UpperCase(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// One difference between two registries, for reports and tests.
struct RegistryChange {
    enum class Kind { KeyAdded, KeyDeleted, ValueSet, ValueDeleted } kind;
    std::string keyPath;   // as cased in the newer registry (older for deletions)
    std::string valueName; // empty for key changes
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data; // new data for ValueSet
};
std::vector<RegistryChange> DiffRegistries(const Registry &before, const Registry &after);

} // namespace sim
