// The registry as a tree of keys, its handles, and the test controls that set it up.
#include "platform/sim/sim_internal.h"

#include <stdexcept>

namespace sim {
namespace detail {

namespace {

// Links followed in one lookup before it fails, as Windows stops a loop of links.
constexpr int kLinkDepth = 16;
const std::string kMachinePath = "\\registry\\machine";
const char kLinkValue[] = "SymbolicLinkValue";

// Registry handles sit above the other handles and below the predefined roots.
constexpr uintptr_t kKeyBase = 0x1000000;
constexpr uintptr_t kKeyEnd = 0x80000000u;

std::vector<std::string> split_path(const std::string &path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

KeyPtr copy_tree(const Key &from, Key *parent) {
    auto copy = std::make_shared<Key>();
    copy->name = from.name;
    copy->parent = parent;
    copy->values = from.values;
    copy->denied = from.denied;
    copy->link = from.link;
    for (const auto &sub : from.subkeys)
        copy->subkeys[sub.first] = copy_tree(*sub.second, copy.get());
    return copy;
}

void mark_deleted(Key &key) {
    key.deleted = true;
    for (auto &sub : key.subkeys) mark_deleted(*sub.second);
}

bool within(const Key *key, const Key *top) {
    for (; key; key = key->parent)
        if (key == top) return true;
    return false;
}

KeyPtr existing_key(HKEY root, const std::string &path) {
    KeyPtr base = root_key(root);
    return base ? find_key(base, path, true) : nullptr;
}

KeyPtr walk_path(KeyPtr key, const std::string &path, bool open_link, int depth);

// The key that a link names; only targets under \Registry\Machine are known here.
KeyPtr link_target(const Key &link, int depth) {
    auto it = link.values.find(kLinkValue);
    if (it == link.values.end() || it->second.type != REG_LINK) return nullptr;
    std::string target;  // the UTF-16 text, ASCII only
    for (size_t i = 0; i + 1 < it->second.data.size(); i += 2) target += it->second.data[i];
    const std::string head = lower(target.substr(0, kMachinePath.size()));
    const std::string rest = target.substr(head.size());
    if (head != kMachinePath || (!rest.empty() && rest[0] != '\\')) return nullptr;
    return walk_path(machine().registry.machine, rest, false, depth + 1);
}

KeyPtr walk_path(KeyPtr key, const std::string &path, bool open_link, int depth) {
    if (depth > kLinkDepth) return nullptr;
    const std::vector<std::string> parts = split_path(path);
    for (size_t i = 0; i < parts.size(); ++i) {
        auto it = key->subkeys.find(parts[i]);
        if (it == key->subkeys.end()) return nullptr;
        key = it->second;
        if (key->link && !(open_link && i + 1 == parts.size())) {
            key = link_target(*key, depth);
            if (!key) return nullptr;
        }
    }
    return key;
}

}  // namespace

KeyPtr root_key(HKEY root) {
    Registry &r = machine().registry;
    if (root == HKEY_LOCAL_MACHINE) return r.machine;
    if (root == HKEY_CURRENT_USER) return r.user;
    if (root == HKEY_CLASSES_ROOT)
        return r.classes ? r.classes : create_key(r.machine, "Software\\Classes");
    return nullptr;
}

KeyPtr find_key(const KeyPtr &base, const std::string &path, bool open_link) {
    return walk_path(base, path, open_link, 0);
}

KeyPtr create_key(const KeyPtr &base, const std::string &path) {
    KeyPtr key = base;
    for (const std::string &part : split_path(path)) {
        KeyPtr &slot = key->subkeys[part];
        if (!slot) {
            slot = std::make_shared<Key>();
            slot->name = part;
            slot->parent = key.get();
        }
        key = slot;
    }
    return key;
}

bool is_root(const Key *key) { return !key->parent || key == root_key(HKEY_CLASSES_ROOT).get(); }

bool denied(const Key &key, REGSAM desired) { return (desired & key.denied & ~KEY_READ) != 0; }

void put_value(Key &key, const std::string &name, DWORD type, const std::string &data) {
    auto it = key.values.find(name);
    if (it == key.values.end()) it = key.values.emplace(name, Value{name, type, data}).first;
    it->second.type = type;
    it->second.data = data;
}

void remove_key(const KeyPtr &key) {
    machine().registry.removed.push_back(key->name);
    mark_deleted(*key);
    if (key->parent) key->parent->subkeys.erase(key->name);
    key->parent = nullptr;
}

int handles_within(const Key &key) {
    int n = 0;
    for (const auto &entry : machine().registry.handles) n += within(entry.second.key.get(), &key);
    return n;
}

HKEY new_key_handle(const KeyPtr &key, REGSAM access) {
    Registry &r = machine().registry;
    const int number = r.next_handle++;
    r.handles[number] = KeyHandle{key, access};
    return reinterpret_cast<HKEY>(kKeyBase + 4 * static_cast<uintptr_t>(number));
}

int key_handle_number(HKEY key) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(key);
    if (value <= kKeyBase || value >= kKeyEnd || (value - kKeyBase) % 4 != 0) return 0;
    return static_cast<int>((value - kKeyBase) / 4);
}

void install_default_registry() {
    set_text(HKEY_LOCAL_MACHINE, "Software\\Classes\\exefile\\shell\\open\\command", nullptr,
             "\"%1\" %*");
    sim::create_key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
}

}  // namespace detail

using namespace detail;

void create_key(HKEY root, const std::string &path) { detail::create_key(root_key(root), path); }

void set_value(HKEY root, const std::string &path, const char *name, DWORD type,
               const std::string &data) {
    put_value(*detail::create_key(root_key(root), path), name ? name : "", type, data);
}

void set_value(HKEY root, const std::string &path, const std::string &name, DWORD type,
               const std::string &data) {
    put_value(*detail::create_key(root_key(root), path), name, type, data);
}

void keep_after_deletion(HKEY root, const std::string &path, const char *name) {
    KeyPtr key = existing_key(root, path);
    if (!key || (name && !key->values.count(name)))
        throw std::invalid_argument("sim::keep_after_deletion: nothing at " + path);
    if (name)
        key->values[name].stays = true;
    else
        key->stays = true;
}

void grow_at_each_read(HKEY root, const std::string &path) {
    KeyPtr key = existing_key(root, path);
    if (!key) throw std::invalid_argument("sim::grow_at_each_read: no key " + path);
    key->grows = true;
}

void set_text(HKEY root, const std::string &path, const char *name, const std::string &text,
              DWORD type) {
    set_value(root, path, name, type, text + std::string(1, '\0'));
}

bool key_exists(HKEY root, const std::string &path) { return existing_key(root, path) != nullptr; }

bool get_value(HKEY root, const std::string &path, const char *name, DWORD *type,
               std::string *data) {
    KeyPtr key = existing_key(root, path);
    if (!key) return false;
    auto it = key->values.find(name ? name : "");
    if (it == key->values.end()) return false;
    if (type) *type = it->second.type;
    if (data) *data = it->second.data;
    return true;
}

std::string text_value(HKEY root, const std::string &path, const char *name) {
    std::string data;
    if (!get_value(root, path, name, nullptr, &data)) return "<absent>";
    return data.substr(0, data.find('\0'));
}

std::vector<std::string> value_names(HKEY root, const std::string &path) {
    std::vector<std::string> names;
    if (KeyPtr key = existing_key(root, path))
        for (const auto &value : key->values) names.push_back(value.second.name);
    return names;
}

std::vector<std::string> subkey_names(HKEY root, const std::string &path) {
    std::vector<std::string> names;
    if (KeyPtr key = existing_key(root, path))
        for (const auto &sub : key->subkeys) names.push_back(sub.second->name);
    return names;
}

void create_link(HKEY root, const std::string &path, const std::string &target) {
    KeyPtr key = detail::create_key(root_key(root), path);
    key->link = true;
    std::string text;
    for (char c : target) text += std::string{c, '\0'};
    put_value(*key, kLinkValue, REG_LINK, text);
}

void deny_access(HKEY root, const std::string &path, REGSAM mask) {
    KeyPtr key = existing_key(root, path);
    if (!key) throw std::invalid_argument("sim::deny_access: no key " + path);
    key->denied = mask;
}

void separate_classes_root() {
    Registry &r = machine().registry;
    if (!r.classes) r.classes = copy_tree(*root_key(HKEY_CLASSES_ROOT), nullptr);
}

int open_keys() { return static_cast<int>(machine().registry.handles.size()); }

std::vector<std::string> removed_keys() { return machine().registry.removed; }

int keys_deleted_while_open() { return machine().registry.deleted_while_open; }

}  // namespace sim
