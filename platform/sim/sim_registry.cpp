// The registry calls, with the edge cases measured under Wine (ANSI entry points).
#include "platform/sim/sim_internal.h"

#include <algorithm>
#include <cstddef>

using namespace sim::detail;

namespace {

bool nt_family() { return machine().system.family == sim::FAMILY_NT; }

bool is_string(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The key behind a root or an open handle. On the NT family a handle grants only the
// access it was opened with; the 9x family does not check.
LONG resolve(HKEY hkey, REGSAM need, KeyPtr *key) {
    if (KeyPtr root = root_key(hkey)) {
        *key = root;
        return ERROR_SUCCESS;
    }
    auto &handles = machine().registry.handles;
    auto it = handles.find(key_handle_number(hkey));
    if (it == handles.end()) return ERROR_INVALID_HANDLE;
    if (it->second.key->deleted) return kErrorKeyDeleted;
    if (nt_family() && (need & ~it->second.access)) return ERROR_ACCESS_DENIED;
    *key = it->second.key;
    return ERROR_SUCCESS;
}

// Windows of the NT family ends string data with a NUL when the caller's buffer has room
// and the stored data lacks one; a full buffer stays unterminated.
void terminate_if_room(BYTE *data, DWORD length, DWORD size) {
    if (length < size && data[length - 1]) data[length] = 0;
}

// Copies value data the way RegQueryValueExA and RegEnumValueA do: nothing at all when it
// does not fit; an empty string leaves the buffer as it was.
LONG copy_data(const Value &value, BYTE *data, DWORD size) {
    const DWORD length = static_cast<DWORD>(value.data.size());
    if (!data || (is_string(value.type) && length == 0)) return ERROR_SUCCESS;
    if (length > size) return ERROR_MORE_DATA;
    std::copy(value.data.begin(), value.data.end(), data);
    if (is_string(value.type)) terminate_if_room(data, length, size);
    return ERROR_SUCCESS;
}

LONG query_value(Key &key, const char *name, DWORD *type, BYTE *data, DWORD *size) {
    auto it = key.values.find(from_ansi(name ? name : ""));
    if (it == key.values.end()) return ERROR_FILE_NOT_FOUND;
    const LONG status = copy_data(it->second, data, size ? *size : 0);
    if (type) *type = it->second.type;
    if (size) *size = static_cast<DWORD>(it->second.data.size());
    // A growing key's value is a byte longer at each read of it.
    if (key.grows && data) it->second.data.insert(0, 1, 'x');
    return status;
}

// A name too long for the buffer comes back cut to size - 1 characters.
LONG copy_name(const std::string &name, char *buffer, DWORD *size) {
    if (name.size() >= *size) {
        if (*size) {
            name.copy(buffer, *size - 1);
            buffer[*size - 1] = 0;
        }
        return ERROR_MORE_DATA;
    }
    name.copy(buffer, name.size());
    buffer[name.size()] = 0;
    *size = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

std::string format_data(DWORD type, const BYTE *data, DWORD size) {
    if (!data) return "NULL";
    const char *text = reinterpret_cast<const char *>(data);
    if (is_string(type)) return "\"" + std::string(text, strnlen(text, size)) + "\"";
    std::string bytes = "{";
    for (DWORD i = 0; i < size; ++i) {
        char hex[4];
        snprintf(hex, sizeof hex, i ? " %02x" : "%02x", data[i]);
        bytes += hex;
    }
    return bytes + "}";
}

// The key a RegSetValueA call writes to, made when a missing sub_key is named.
LONG value_target(HKEY hkey, LPCSTR sub_key, KeyPtr *target) {
    if (!sub_key || !*sub_key) return resolve(hkey, KEY_SET_VALUE, target);
    KeyPtr base;
    if (LONG error = resolve(hkey, 0, &base)) return error;
    *target = find_key(base, from_ansi(sub_key));
    if (*target) return denied(**target, KEY_SET_VALUE) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    if (LONG error = resolve(hkey, KEY_CREATE_SUB_KEY, &base)) return error;
    *target = create_key(base, from_ansi(sub_key));
    return ERROR_SUCCESS;
}

// Takes the value out unless a deletion of it does not stick; false when there is none.
bool erase_value(Key &key, const std::string &name) {
    auto it = key.values.find(name);
    if (it == key.values.end()) return false;
    if (!it->second.stays) key.values.erase(it);
    return true;
}

// A growing key gets a subkey at each listing, one whose deletion does not stick.
void grow_subkeys(Key &key) {
    if (!key.grows) return;
    Key *parent = &key;
    KeyPtr sub = std::make_shared<Key>();
    sub->name = "~" + std::to_string(key.subkeys.size());
    sub->parent = parent;
    sub->stays = true;
    key.subkeys[sub->name] = sub;
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM desired, PHKEY result) {
    auto fault = record("RegOpenKeyExA",
                        Args().key(key).text(sub_key).hex(options).hex(desired).pointer(result));
    if (result) *result = nullptr;
    if (fault) return static_cast<LONG>(*fault);
    if (!result) return ERROR_INVALID_PARAMETER;
    KeyPtr base;
    if (LONG error = resolve(key, 0, &base)) return error;
    // The 9x family has no links; its option word is reserved.
    const bool open_link = nt_family() && (options & REG_OPTION_OPEN_LINK);
    KeyPtr target = find_key(base, from_ansi(registry_view(key, sub_key, desired)), open_link);
    if (!target) return ERROR_FILE_NOT_FOUND;
    if (denied(*target, desired)) return ERROR_ACCESS_DENIED;
    *result = new_key_handle(target, desired);
    return ERROR_SUCCESS;
}

LONG RegQueryValueA(HKEY key, LPCSTR sub_key, LPSTR data, PLONG data_size) {
    auto fault =
        record("RegQueryValueA", Args().key(key).text(sub_key).pointer(data).size(data_size));
    if (fault) return static_cast<LONG>(*fault);
    if (data && !data_size) return ERROR_INVALID_PARAMETER;
    const bool named = sub_key && *sub_key;
    KeyPtr target;
    if (LONG error = resolve(key, named ? 0 : KEY_QUERY_VALUE, &target)) return error;
    if (named && !(target = find_key(target, from_ansi(sub_key)))) return ERROR_FILE_NOT_FOUND;
    DWORD *size = reinterpret_cast<DWORD *>(data_size);
    LONG status = query_value(*target, nullptr, nullptr, reinterpret_cast<BYTE *>(data), size);
    if (status == ERROR_FILE_NOT_FOUND) {
        // An unset default value reads as an empty text.
        if (data) *data = 0;
        if (size) *size = 1;
        status = ERROR_SUCCESS;
    }
    return status;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD data_size) {
    auto fault = record(
        "RegQueryValueExA",
        Args().key(key).text(name).pointer(reserved).pointer(type).pointer(data).size(data_size));
    if (fault) return static_cast<LONG>(*fault);
    if ((data && !data_size) || reserved) return ERROR_INVALID_PARAMETER;
    KeyPtr target;
    if (LONG error = resolve(key, KEY_QUERY_VALUE, &target)) return error;
    return query_value(*target, name, type, data, data_size);
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD data_size) {
    auto fault = record("RegEnumValueA", Args()
                                             .key(key)
                                             .hex(index)
                                             .pointer(name)
                                             .size(name_size)
                                             .pointer(reserved)
                                             .pointer(type)
                                             .pointer(data)
                                             .size(data_size));
    if (fault) return static_cast<LONG>(*fault);
    if ((data && !data_size) || (name && !name_size) || reserved) return ERROR_INVALID_PARAMETER;
    KeyPtr target;
    if (LONG error = resolve(key, KEY_QUERY_VALUE, &target)) return error;
    if (target->grows)
        put_value(*target, "~" + std::to_string(target->values.size()), REG_SZ, std::string("x.exe", 6));
    if (index >= target->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value &value = std::next(target->values.begin(), index)->second;
    // The data is looked at first: when it does not fit, not even the name is written.
    LONG status = copy_data(value, data, data_size ? *data_size : 0);
    if (name && status == ERROR_SUCCESS) status = copy_name(to_ansi(value.name), name, name_size);
    if (type) *type = value.type;
    if (data_size) *data_size = static_cast<DWORD>(value.data.size());
    return status;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                   LPSTR class_name, LPDWORD class_size, PFILETIME last_write) {
    auto fault = record("RegEnumKeyExA", Args()
                                             .key(key)
                                             .hex(index)
                                             .pointer(name)
                                             .size(name_size)
                                             .pointer(reserved)
                                             .pointer(class_name)
                                             .size(class_size)
                                             .pointer(last_write));
    if (fault) return static_cast<LONG>(*fault);
    if (!name || !name_size || reserved) return ERROR_INVALID_PARAMETER;
    KeyPtr target;
    if (LONG error = resolve(key, KEY_ENUMERATE_SUB_KEYS, &target)) return error;
    grow_subkeys(*target);
    if (index >= target->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string sub = to_ansi(std::next(target->subkeys.begin(), index)->second->name);
    // Keys made here have no class: an empty class text needs one byte.
    if (sub.size() >= *name_size || (class_name && class_size && *class_size == 0))
        return ERROR_MORE_DATA;
    copy_name(sub, name, name_size);
    if (class_size) {
        *class_size = 0;
        if (class_name) *class_name = 0;
    }
    if (last_write) *last_write = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

// Lengths as Windows gives them: names in characters without their NUL, data in bytes.
LONG RegQueryInfoKeyA(HKEY key, LPSTR class_name, LPDWORD class_size, LPDWORD reserved,
                      LPDWORD subkeys, LPDWORD max_subkey_length, LPDWORD max_class_length,
                      LPDWORD values, LPDWORD max_value_name_length, LPDWORD max_value_length,
                      LPDWORD security_size, PFILETIME last_write) {
    auto fault = record("RegQueryInfoKeyA", Args()
                                                .key(key)
                                                .pointer(class_name)
                                                .size(class_size)
                                                .pointer(reserved)
                                                .pointer(subkeys)
                                                .pointer(max_subkey_length)
                                                .pointer(max_class_length)
                                                .pointer(values)
                                                .pointer(max_value_name_length)
                                                .pointer(max_value_length)
                                                .pointer(security_size)
                                                .pointer(last_write));
    if (fault) return static_cast<LONG>(*fault);
    if (reserved || (class_name && !class_size)) return ERROR_INVALID_PARAMETER;
    KeyPtr target;
    if (LONG error = resolve(key, KEY_QUERY_VALUE, &target)) return error;
    DWORD longest_subkey = 0, longest_name = 0, longest_data = 0;
    for (const auto &sub : target->subkeys)
        longest_subkey = std::max(longest_subkey, static_cast<DWORD>(to_wide(sub.second->name).size()));
    for (const auto &value : target->values) {
        longest_name = std::max(longest_name, static_cast<DWORD>(to_wide(value.second.name).size()));
        longest_data = std::max(longest_data, static_cast<DWORD>(value.second.data.size()));
    }
    if (class_size) {
        if (class_name && *class_size) *class_name = 0;
        *class_size = 0;
    }
    if (subkeys) *subkeys = static_cast<DWORD>(target->subkeys.size());
    if (max_subkey_length) *max_subkey_length = longest_subkey;
    if (max_class_length) *max_class_length = 0;
    if (values) *values = static_cast<DWORD>(target->values.size());
    if (max_value_name_length) *max_value_name_length = longest_name;
    if (max_value_length) *max_value_length = longest_data;
    if (security_size) *security_size = 0;
    if (last_write) *last_write = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LONG RegSetValueA(HKEY key, LPCSTR sub_key, DWORD type, LPCSTR data, DWORD data_size) {
    auto fault =
        record("RegSetValueA", Args().key(key).text(sub_key).hex(type).text(data).hex(data_size));
    if (fault) return static_cast<LONG>(*fault);
    if (type != REG_SZ || !data) return ERROR_INVALID_PARAMETER;
    KeyPtr target;
    if (LONG error = value_target(key, sub_key, &target)) return error;
    // The length passed is ignored: the text and its NUL are stored.
    put_value(*target, "", REG_SZ, std::string(data, strlen(data) + 1));
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                    DWORD data_size) {
    auto fault = record("RegSetValueExA", Args()
                                              .key(key)
                                              .text(name)
                                              .hex(reserved)
                                              .hex(type)
                                              .raw(format_data(type, data, data_size))
                                              .hex(data_size));
    if (fault) return static_cast<LONG>(*fault);
    if (!data && data_size) return ERROR_INVALID_PARAMETER;
    KeyPtr target;
    if (LONG error = resolve(key, KEY_SET_VALUE, &target)) return error;
    const char *bytes = reinterpret_cast<const char *>(data);
    put_value(*target, from_ansi(name ? name : ""), type, data ? std::string(bytes, data_size) : "");
    return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) {
    auto fault = record("RegDeleteValueA", Args().key(key).text(name));
    if (fault) return static_cast<LONG>(*fault);
    KeyPtr target;
    if (LONG error = resolve(key, KEY_SET_VALUE, &target)) return error;
    return erase_value(*target, from_ansi(name ? name : "")) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegDeleteKeyA(HKEY key, LPCSTR sub_key) {
    auto fault = record("RegDeleteKeyA", Args().key(key).text(sub_key));
    if (fault) return static_cast<LONG>(*fault);
    if (!sub_key) return ERROR_INVALID_PARAMETER;
    KeyPtr base;
    if (LONG error = resolve(key, 0, &base)) return error;
    KeyPtr target = find_key(base, from_ansi(sub_key));
    if (!target) return ERROR_FILE_NOT_FOUND;
    if (is_root(target.get()) || denied(*target, kDeleteAccess)) return ERROR_ACCESS_DENIED;
    // The NT family deletes leaf keys only; the 9x family takes the whole tree.
    if (!target->subkeys.empty() && nt_family()) return ERROR_ACCESS_DENIED;
    if (handles_within(*target) > 0) ++machine().registry.deleted_while_open;
    if (!target->stays) remove_key(target);
    return ERROR_SUCCESS;
}

// NTSTATUS codes of NtDeleteKey.
constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022u);
constexpr LONG kStatusInvalidHandle = static_cast<LONG>(0xC0000008u);
constexpr LONG kStatusCannotDelete = static_cast<LONG>(0xC0000121u);

LONG sim::detail::nt_delete_key(HANDLE handle) {
    const HKEY hkey = static_cast<HKEY>(handle);
    // A fault stands for a refusal whatever its Win32 code.
    if (record("NtDeleteKey", Args().key(hkey))) return kStatusAccessDenied;
    KeyPtr target;
    if (root_key(hkey) || resolve(hkey, kDeleteAccess, &target)) return kStatusInvalidHandle;
    if (is_root(target.get()) || denied(*target, kDeleteAccess)) return kStatusAccessDenied;
    if (!target->subkeys.empty()) return kStatusCannotDelete;
    // The handle it came through stays open, as with Windows, until it is closed.
    if (handles_within(*target) > 1) ++machine().registry.deleted_while_open;
    if (!target->stays) remove_key(target);
    return 0;
}

// The layouts ntdll uses: KEY_VALUE_BASIC_INFORMATION and UNICODE_STRING.
struct ValueBasicInformation {
    DWORD title_index;
    DWORD type;
    DWORD name_length;  // bytes
    WCHAR name[1];
};
struct CountedName {
    WORD length;  // bytes
    WORD maximum_length;
    const WCHAR *buffer;
};
constexpr DWORD kValueBasicInformation = 0;
constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005u);
constexpr LONG kStatusNoMoreEntries = static_cast<LONG>(0x8000001Au);
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023u);
constexpr LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000Du);
constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034u);

// The basic information only: the name in UTF-16 with its length and the type.
LONG sim::detail::nt_enumerate_value_key(HANDLE handle, DWORD index, DWORD info_class, void *info,
                                         DWORD length, DWORD *result_length) {
    const HKEY hkey = static_cast<HKEY>(handle);
    if (auto fault = record("NtEnumerateValueKey", Args().key(hkey).hex(index).hex(info_class).hex(length)))
        return kStatusAccessDenied;
    KeyPtr target;
    if (root_key(hkey) || resolve(hkey, KEY_QUERY_VALUE, &target)) return kStatusInvalidHandle;
    if (info_class != kValueBasicInformation || !result_length) return kStatusInvalidParameter;
    if (index >= target->values.size()) return kStatusNoMoreEntries;
    const Value &value = std::next(target->values.begin(), index)->second;
    const std::u16string wide = to_wide(value.name);
    const DWORD fixed = offsetof(ValueBasicInformation, name);
    const DWORD name_bytes = static_cast<DWORD>(wide.size() * sizeof(WCHAR));
    *result_length = fixed + name_bytes;
    if (length < fixed) return kStatusBufferTooSmall;
    ValueBasicInformation head{0, value.type, name_bytes, {0}};
    memcpy(info, &head, fixed);
    const DWORD room = std::min(name_bytes, length - fixed);
    memcpy(static_cast<char *>(info) + fixed, wide.data(), room);
    return room < name_bytes ? kStatusBufferOverflow : 0;
}

LONG sim::detail::nt_delete_value_key(HANDLE handle, const void *name) {
    const HKEY hkey = static_cast<HKEY>(handle);
    const CountedName *counted = static_cast<const CountedName *>(name);
    std::u16string wide;
    if (counted) wide.assign(reinterpret_cast<const char16_t *>(counted->buffer), counted->length / 2);
    if (record("NtDeleteValueKey", Args().key(hkey).text(to_ansi(from_wide(wide)))))
        return kStatusAccessDenied;
    KeyPtr target;
    if (root_key(hkey) || resolve(hkey, KEY_SET_VALUE, &target)) return kStatusInvalidHandle;
    return erase_value(*target, from_wide(wide)) ? 0 : kStatusObjectNameNotFound;
}

struct ObjectAttributes {
    DWORD length;
    HANDLE root;
    const CountedName *name;
    DWORD attributes;
    void *security_descriptor;
    void *security_quality_of_service;
};
constexpr DWORD kKeyBasicInformation = 0;
constexpr DWORD kKeyNameOffset = 16;  // after the write time, title index and name length
constexpr DWORD kOpenLink = 0x100;

LONG sim::detail::nt_enumerate_key(HANDLE handle, DWORD index, DWORD info_class, void *info,
                                   DWORD length, DWORD *result_length) {
    const HKEY hkey = static_cast<HKEY>(handle);
    if (record("NtEnumerateKey", Args().key(hkey).hex(index).hex(info_class).hex(length)))
        return kStatusAccessDenied;
    KeyPtr target;
    if (root_key(hkey) || resolve(hkey, KEY_ENUMERATE_SUB_KEYS, &target)) return kStatusInvalidHandle;
    if (info_class != kKeyBasicInformation || !result_length) return kStatusInvalidParameter;
    grow_subkeys(*target);
    if (index >= target->subkeys.size()) return kStatusNoMoreEntries;
    const std::u16string wide = to_wide(std::next(target->subkeys.begin(), index)->second->name);
    const DWORD name_bytes = static_cast<DWORD>(wide.size() * sizeof(WCHAR));
    *result_length = kKeyNameOffset + name_bytes;
    if (length < kKeyNameOffset) return kStatusBufferTooSmall;
    const DWORD head[4] = {0, 0, 0, name_bytes};
    memcpy(info, head, sizeof head);
    const DWORD room = std::min(name_bytes, length - kKeyNameOffset);
    memcpy(static_cast<char *>(info) + kKeyNameOffset, wide.data(), room);
    return room < name_bytes ? kStatusBufferOverflow : 0;
}

// Relative to an open key only, which is all the tool asks for.
LONG sim::detail::nt_open_key(HANDLE *result, DWORD access, const void *attributes) {
    const ObjectAttributes *object = static_cast<const ObjectAttributes *>(attributes);
    const HKEY root = object ? static_cast<HKEY>(object->root) : nullptr;
    std::u16string wide;
    if (object && object->name)
        wide.assign(reinterpret_cast<const char16_t *>(object->name->buffer), object->name->length / 2);
    const std::string name = from_wide(wide);
    if (record("NtOpenKey", Args().pointer(result).hex(access).key(root).text(to_ansi(name))))
        return kStatusAccessDenied;
    if (result) *result = nullptr;
    KeyPtr base;
    if (!result || !object || root_key(root) || resolve(root, 0, &base)) return kStatusInvalidHandle;
    const bool open_link = nt_family() && (object->attributes & kOpenLink);
    KeyPtr target = find_key(base, name, open_link);
    if (!target) return kStatusObjectNameNotFound;
    if (denied(*target, access)) return kStatusAccessDenied;
    *result = new_key_handle(target, access);
    return 0;
}

LONG sim::detail::rtl_unicode_to_multibyte(char *out, DWORD out_size, DWORD *result, const WCHAR *in,
                                           DWORD in_bytes) {
    record("RtlUnicodeToMultiByteN", Args().hex(out_size).hex(in_bytes));
    std::u16string wide(reinterpret_cast<const char16_t *>(in), in_bytes / 2);
    const std::string ansi = to_ansi(from_wide(wide));
    const DWORD count = std::min(out_size, static_cast<DWORD>(ansi.size()));
    memcpy(out, ansi.data(), count);
    if (result) *result = count;
    return 0;
}

LONG RegCloseKey(HKEY key) {
    auto fault = record("RegCloseKey", Args().key(key));
    // A failed close still lets go of the handle: the caller cannot do anything else.
    const bool known = root_key(key) || machine().registry.handles.erase(key_handle_number(key));
    if (fault) return static_cast<LONG>(*fault);
    return known ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
