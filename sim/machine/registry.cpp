// registry.cpp - the simulated HKEY_LOCAL_MACHINE hive.

#include "machine/registry.h"

#include <algorithm>

#include "machine/text.h"

namespace sim {

namespace {

// Code page 1252 bytes 0x80-0x9F; the five unassigned ones map to the C1
// control of the same number, as Windows' table does.
constexpr std::uint16_t kAnsiHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The UTF-16 unit Windows sorts an upper-cased byte by: its code page 1252
// character (the five unassigned high bytes as the C1 control of the same
// number), except for the two letters whose capitals 1252 lacks.
std::uint16_t SortUnit(std::uint8_t upper) {
    if (upper == 0xB5) {
        return 0x039C; // micro sign -> Greek capital mu
    }
    if (upper == 0x83) {
        return 0x0191; // f with hook -> its capital
    }
    return upper >= 0x80 && upper <= 0x9F ? kAnsiHighControls[upper - 0x80] : upper;
}

// Orders two upper-cased names by their UTF-16 units, as Windows sorts keys.
bool NameLess(const std::string &a, const std::string &b) {
    auto const differ = std::mismatch(a.begin(), a.end(), b.begin(), b.end()); // equal bytes sort alike
    return std::lexicographical_compare(differ.first, a.end(), differ.second, b.end(), [](char x, char y) {
        return SortUnit(static_cast<std::uint8_t>(x)) < SortUnit(static_cast<std::uint8_t>(y));
    });
}

} // namespace

// ---- code page and names ----

bool UnicodeToAnsi(std::uint16_t unit, std::uint8_t *byte) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
        *byte = static_cast<std::uint8_t>(unit);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (kAnsiHighControls[i] == unit) {
            *byte = static_cast<std::uint8_t>(0x80 + i);
            return true;
        }
    }
    return false;
}

bool IsBadKeyPath(std::string_view path) { return !path.empty() && path.front() == '\\'; }

bool SplitKeyPath(std::string_view path, std::vector<std::string_view> *components) {
    if (IsBadKeyPath(path)) {
        return false;
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > start) {
            components->push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return true;
}

size_t CountKeyLevels(std::string_view path) {
    std::vector<std::string_view> components;
    SplitKeyPath(path, &components);
    return components.size();
}

bool RegistryKey::NameOrder::operator()(const std::string &a, const std::string &b) const { return NameLess(a, b); }

// ---- keys ----

RegistryKey *RegistryKey::FindSubkey(std::string_view name) const {
    auto found = subkeys_.find(UpperCase(name));
    return found == subkeys_.end() ? nullptr : found->second.get();
}

std::vector<RegistryKey *> RegistryKey::Subkeys() const {
    std::vector<RegistryKey *> keys;
    keys.reserve(subkeys_.size());
    for (const auto &entry : subkeys_) {
        keys.push_back(entry.second.get());
    }
    return keys;
}

const RegistryValue *RegistryKey::FindValue(std::string_view name) const {
    for (const RegistryValue &value : values_) {
        if (EqualsIgnoreCase(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

void RegistryKey::SetValue(std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data) {
    for (RegistryValue &value : values_) {
        if (EqualsIgnoreCase(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    values_.push_back(RegistryValue{std::string(name), type, std::move(data)});
}

bool RegistryKey::DeleteValue(std::string_view name) {
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        if (EqualsIgnoreCase(it->name, name)) {
            values_.erase(it);
            return true;
        }
    }
    return false;
}

std::shared_ptr<RegistryKey> RegistryKey::CopyTree() const {
    auto copy = std::make_shared<RegistryKey>(name_);
    copy->values_ = values_;
    for (const auto &entry : subkeys_) {
        copy->subkeys_.emplace(entry.first, entry.second->CopyTree());
    }
    return copy;
}

// ---- the hive ----

Registry::Registry() : root_(std::make_shared<RegistryKey>("HKEY_LOCAL_MACHINE")) {}

Registry::Registry(const Registry &other) : root_(other.root_->CopyTree()) {}

Registry &Registry::operator=(const Registry &other) {
    if (this != &other) {
        root_ = other.root_->CopyTree();
    }
    return *this;
}

std::shared_ptr<RegistryKey> Registry::ShareKey(std::string_view path) const {
    std::vector<std::string_view> components;
    if (!SplitKeyPath(path, &components)) {
        return nullptr;
    }
    std::shared_ptr<RegistryKey> key = root_;
    for (std::string_view component : components) {
        auto found = key->subkeys_.find(UpperCase(component));
        if (found == key->subkeys_.end()) {
            return nullptr;
        }
        key = found->second;
    }
    return key;
}

RegistryKey *Registry::FindKey(std::string_view path) const { return ShareKey(path).get(); }

RegistryKey *Registry::CreateKey(std::string_view path) {
    std::vector<std::string_view> components;
    if (!SplitKeyPath(path, &components) || components.size() > kMostKeyLevels) {
        return nullptr;
    }
    RegistryKey *key = root_.get();
    for (std::string_view component : components) {
        auto &slot = key->subkeys_[UpperCase(component)];
        if (!slot) {
            slot = std::make_shared<RegistryKey>(std::string(component));
        }
        key = slot.get();
    }
    return key;
}

bool Registry::DeleteKeyTree(std::string_view path) {
    std::vector<std::string_view> components;
    if (!SplitKeyPath(path, &components) || components.empty()) {
        return false;
    }
    RegistryKey *parent = root_.get();
    for (size_t i = 0; i + 1 < components.size() && parent; ++i) {
        parent = parent->FindSubkey(components[i]);
    }
    return parent && parent->subkeys_.erase(UpperCase(components.back())) > 0;
}

const RegistryValue *Registry::FindValue(std::string_view keyPath, std::string_view valueName) const {
    const RegistryKey *key = FindKey(keyPath);
    return key ? key->FindValue(valueName) : nullptr;
}

std::string JoinKeyPath(const std::string &base, const std::string &sub) {
    return base.empty() ? sub : sub.empty() ? base : base + "\\" + sub;
}

std::string TextOf(const RegistryValue *value) {
    return value == nullptr ? ""
                            : std::string(value->data.begin(), std::find(value->data.begin(), value->data.end(), 0));
}

bool Registry::SetValue(std::string_view keyPath, std::string_view valueName, std::uint32_t type,
                        std::vector<std::uint8_t> data) {
    RegistryKey *key = CreateKey(keyPath);
    if (!key) {
        return false;
    }
    key->SetValue(valueName, type, std::move(data));
    return true;
}

bool Registry::SetString(std::string_view keyPath, std::string_view valueName, std::string_view text) {
    std::vector<std::uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return SetValue(keyPath, valueName, 1 /* REG_SZ */, std::move(data));
}

Registry Registry::Clone() const { return Registry(*this); }

// ---- differences ----

namespace {

// A key's values ordered by upper-cased name, for a stable merge.
std::vector<const RegistryValue *> SortedValues(const RegistryKey &key) {
    std::vector<const RegistryValue *> values;
    for (const RegistryValue &value : key.Values()) {
        values.push_back(&value);
    }
    std::sort(values.begin(), values.end(), [](const RegistryValue *a, const RegistryValue *b) {
        return NameLess(UpperCase(a->name), UpperCase(b->name));
    });
    return values;
}

// Lists a whole new key: the key, its values, then the keys below it.
void ListAddedTree(const RegistryKey &key, const std::string &path, std::vector<RegistryChange> *changes) {
    changes->push_back({RegistryChange::Kind::KeyAdded, path, {}, 0, {}});
    for (const RegistryValue *value : SortedValues(key)) {
        changes->push_back({RegistryChange::Kind::ValueSet, path, value->name, value->type, value->data});
    }
    for (const RegistryKey *sub : key.Subkeys()) {
        ListAddedTree(*sub, JoinKeyPath(path, sub->Name()), changes);
    }
}

// Tells which of two names comes first: -1 the left, 1 the right, 0 the same.
int CompareNames(const std::string &left, const std::string &right) {
    std::string x = UpperCase(left), y = UpperCase(right);
    return NameLess(x, y) ? -1 : NameLess(y, x) ? 1 : 0;
}

// Takes two lists ordered by name, how to name an item, and what to do with
// each name. Walks them side by side, calling each(old, new) once per name
// with null for the side that lacks it.
template <typename Item, typename NameOf, typename Each>
void MergeByName(const std::vector<Item *> &before, const std::vector<Item *> &after, NameOf nameOf, Each each) {
    size_t i = 0, j = 0;
    while (i < before.size() || j < after.size()) {
        // -1: only before, 1: only after, 0: both
        int const side = i == before.size()  ? 1
                         : j == after.size() ? -1
                                             : CompareNames(nameOf(before[i]), nameOf(after[j]));
        Item *was = side <= 0 ? before[i++] : nullptr;
        each(was, side >= 0 ? after[j++] : nullptr);
    }
}

// Compares two keys at the same path, and the keys below them.
void DiffKeys(const RegistryKey &before, const RegistryKey &after, const std::string &path,
              std::vector<RegistryChange> *changes) {
    MergeByName(
        SortedValues(before), SortedValues(after),
        [](const RegistryValue *value) -> const std::string & { return value->name; },
        [&](const RegistryValue *was, const RegistryValue *now) {
            if (now == nullptr) {
                changes->push_back({RegistryChange::Kind::ValueDeleted, path, was->name, 0, {}});
            } else if (!was || was->type != now->type || was->data != now->data) {
                changes->push_back({RegistryChange::Kind::ValueSet, path, now->name, now->type, now->data});
            }
        });
    MergeByName(
        before.Subkeys(), after.Subkeys(), [](const RegistryKey *key) -> const std::string & { return key->Name(); },
        [&](const RegistryKey *was, const RegistryKey *now) {
            if (now == nullptr) {
                changes->push_back({RegistryChange::Kind::KeyDeleted, JoinKeyPath(path, was->Name()), {}, 0, {}});
            } else if (was == nullptr) {
                ListAddedTree(*now, JoinKeyPath(path, now->Name()), changes);
            } else {
                DiffKeys(*was, *now, JoinKeyPath(path, now->Name()), changes);
            }
        });
}

} // namespace

std::vector<RegistryChange> DiffRegistries(const Registry &before, const Registry &after) {
    std::vector<RegistryChange> changes;
    DiffKeys(*before.Root(), *after.Root(), "", &changes);
    return changes;
}

} // namespace sim
