// GetPrivateProfileStringA and WritePrivateProfileStringA on the machine's ini files. A write
// edits the file in place: every other line stays as it was, and the file is rewritten
// with CR LF line ends.
#include "platform/sim/sim_internal.h"

using namespace sim::detail;

namespace {

using Lines = std::vector<std::string>;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string trim(const std::string &text) {
    size_t begin = 0, end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

Lines split_lines(const std::string &bytes) {
    Lines lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// "[name]" with anything around it; the name is what lies between '[' and the last ']'.
bool header_name(const std::string &line, std::string *name) {
    const std::string text = trim(line);
    const size_t close = text.rfind(']');
    if (text.empty() || text[0] != '[' || close == std::string::npos) return false;
    *name = text.substr(1, close - 1);
    return true;
}

bool entry_of(const std::string &line, std::string *key, std::string *value) {
    std::string ignored;
    const size_t equals = line.find('=');
    if (equals == std::string::npos || header_name(line, &ignored)) return false;
    *key = trim(line.substr(0, equals));
    if (value) *value = trim(line.substr(equals + 1));
    return true;
}

// Lines [*begin, *end) of the first section of that name, its header at *begin - 1.
bool find_section(const Lines &lines, const std::string &section, size_t *begin, size_t *end) {
    const std::string wanted = trim(section);
    std::string name;
    size_t i = 0;
    while (i < lines.size() && !(header_name(lines[i], &name) && same_name(name, wanted))) ++i;
    if (i == lines.size()) return false;
    *begin = ++i;
    while (i < lines.size() && !header_name(lines[i], &name)) ++i;
    *end = i;
    return true;
}

bool find_entry(const Lines &lines, size_t begin, size_t end, const std::string &key, size_t *at,
                std::string *value) {
    const std::string wanted = trim(key);
    std::string name;
    for (size_t i = begin; i < end; ++i) {
        if (entry_of(lines[i], &name, value) && same_name(name, wanted)) {
            *at = i;
            return true;
        }
    }
    return false;
}

// Windows looks for a bare file name in the Windows directory; no name at all is WIN.INI.
bool profile_key(LPCSTR path, std::string *key) {
    std::string full = path ? path : "win.ini";
    if (full.find_first_of("\\/") == std::string::npos)
        full = machine().files.windows_dir + "\\" + full;
    return program_path(full, key);
}

bool load(const std::string &key, Lines *lines) {
    std::string bytes;
    if (node_of(key) != Node::FILE || in_use(key) || !read_host(key, &bytes)) return false;
    *lines = split_lines(bytes);
    return true;
}

DWORD copy_text(const std::string &text, LPSTR out, DWORD size) {
    const size_t n = std::min<size_t>(text.size(), size - 1);
    text.copy(out, n);
    out[n] = 0;
    return static_cast<DWORD>(n);
}

// Names one after another, each with its NUL, and one more NUL at the end; a list that
// does not fit is cut and still ends in two NULs.
DWORD copy_list(const std::string &list, LPSTR out, DWORD size) {
    if (size == 1) {
        out[0] = 0;
        return 0;
    }
    const size_t n = std::min<size_t>(list.size(), size - 2);
    list.copy(out, n);
    out[n] = 0;
    out[n + 1] = 0;
    return static_cast<DWORD>(n);
}

std::string section_list(const Lines &lines) {
    std::string list, name;
    for (const std::string &line : lines)
        if (header_name(line, &name)) list += name + '\0';
    return list;
}

std::string key_list(const Lines &lines, size_t begin, size_t end) {
    std::string list, name;
    for (size_t i = begin; i < end; ++i)
        if (entry_of(lines[i], &name, nullptr)) list += name + '\0';
    return list;
}

// One pair of matching quotes around a value is dropped.
std::string unquote(const std::string &value) {
    if (value.size() > 1 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        return value.substr(1, value.size() - 2);
    return value;
}

void set_entry(Lines *lines, const std::string &section, const std::string &key,
               const std::string &text) {
    size_t begin, end, at;
    std::string name, ignored;
    if (!find_section(*lines, section, &begin, &end)) {
        lines->push_back("[" + section + "]");
        lines->push_back(key + "=" + text);
    } else if (find_entry(*lines, begin, end, key, &at, &ignored)) {
        entry_of((*lines)[at], &name, nullptr);
        (*lines)[at] = name + "=" + text;
    } else {
        // After the section's last line that is not blank, before any gap to the next one.
        while (end > begin && trim((*lines)[end - 1]).empty()) --end;
        lines->insert(lines->begin() + static_cast<long>(end), key + "=" + text);
    }
}

bool delete_section(Lines *lines, const std::string &section) {
    size_t begin, end;
    if (!find_section(*lines, section, &begin, &end)) return false;
    lines->erase(lines->begin() + static_cast<long>(begin - 1),
                 lines->begin() + static_cast<long>(end));
    return true;
}

bool delete_entry(Lines *lines, const std::string &section, const std::string &key) {
    size_t begin, end, at;
    std::string ignored;
    if (!find_section(*lines, section, &begin, &end) ||
        !find_entry(*lines, begin, end, key, &at, &ignored))
        return false;
    lines->erase(lines->begin() + static_cast<long>(at));
    return true;
}

// Why the file cannot be written, or 0.
DWORD write_error(const std::string &key) {
    const Node node = node_of(key);
    if (node == Node::NO_PARENT) return ERROR_PATH_NOT_FOUND;
    if (node == Node::DIRECTORY) return ERROR_ACCESS_DENIED;
    if (node == Node::MISSING) return 0;
    if (in_use(key)) return ERROR_SHARING_VIOLATION;
    if (attributes_of(key, node) & FILE_ATTRIBUTE_READONLY) return ERROR_ACCESS_DENIED;
    return 0;
}

BOOL save(const std::string &key, const Lines &lines) {
    std::string bytes;
    for (const std::string &line : lines) bytes += line + "\r\n";
    if (node_of(key) == Node::MISSING) forget_attributes(key);
    if (write_host(key, bytes)) return TRUE;
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR default_text, LPSTR out,
                               DWORD size, LPCSTR path) {
    auto fault =
        record("GetPrivateProfileStringA",
               Args().text(section).text(key).text(default_text).pointer(out).hex(size).text(path));
    if (fault) {
        set_last_error(*fault);
        return 0;
    }
    if (!out || size == 0) return 0;
    Lines lines;
    std::string file;
    if (!profile_key(path, &file) || !load(file, &lines)) set_last_error(ERROR_FILE_NOT_FOUND);
    if (!section) return copy_list(section_list(lines), out, size);
    size_t begin = 0, end = 0, at;
    const bool found = find_section(lines, section, &begin, &end);
    if (!key) return copy_list(found ? key_list(lines, begin, end) : "", out, size);
    std::string value;
    if (found && find_entry(lines, begin, end, key, &at, &value))
        return copy_text(unquote(value), out, size);
    // Windows cuts trailing blanks off the default text.
    std::string fallback = default_text ? default_text : "";
    while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
    return copy_text(fallback, out, size);
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR text, LPCSTR path) {
    auto fault =
        record("WritePrivateProfileStringA", Args().text(section).text(key).text(text).text(path));
    auto fail_with = [](DWORD error) {
        set_last_error(error);
        return FALSE;
    };
    if (fault) return fail_with(*fault);
    // All three null only flushes Windows' cache of the file.
    if (!section) return (key || text) ? fail_with(ERROR_INVALID_PARAMETER) : TRUE;
    std::string file;
    if (!profile_key(path, &file)) return fail_with(ERROR_PATH_NOT_FOUND);
    if (DWORD error = write_error(file)) return fail_with(error);
    Lines lines;
    load(file, &lines);
    if (!key) return delete_section(&lines, section) ? save(file, lines) : TRUE;
    if (!text) return delete_entry(&lines, section, key) ? save(file, lines) : TRUE;
    set_entry(&lines, section, key, text);
    return save(file, lines);
}
