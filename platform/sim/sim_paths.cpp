// Windows paths mapped onto a temporary host directory: one folder per drive letter, every
// name in lower case so that lookups ignore case as Windows does.
#include "platform/sim/sim_internal.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace sim {
namespace detail {

namespace {

// Windows drops trailing dots and blanks from each name ("FILES32.VXD." is FILES32.VXD).
std::string trim_name(std::string name) {
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    return name;
}

bool add_part(const std::string &part, std::vector<std::string> *parts) {
    if (part.empty() || part == ".") return true;
    if (part == "..") {
        if (!parts->empty()) parts->pop_back();
        return true;
    }
    if (part.find_first_of("<>:\"|?*") != std::string::npos) return false;
    const std::string name = trim_name(part);
    if (!name.empty()) parts->push_back(lower(name));
    return true;
}

std::string parent_of(const std::string &key) {
    const size_t slash = key.rfind('\\');
    return key.substr(0, slash == 2 ? 3 : slash);
}

}  // namespace

bool normalize(const std::string &windows_path, std::string *key) {
    std::string path = windows_path;
    for (char &c : path)
        if (c == '/') c = '\\';
    // UNC names and devices (\\.\...) are no files of this machine.
    if (path.empty() || path.compare(0, 2, "\\\\") == 0) return false;
    char drive = 'c';
    size_t start = 0;
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
        drive = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
        start = 2;
    }
    std::vector<std::string> parts;
    std::stringstream rest(path.substr(start));
    for (std::string part; std::getline(rest, part, '\\');)
        if (!add_part(part, &parts)) return false;
    *key = std::string(1, drive) + ":";
    for (const std::string &part : parts) *key += "\\" + part;
    if (parts.empty()) *key += "\\";
    return true;
}

std::string host_of(const std::string &key) {
    std::string host = machine().files.root + "/" + key[0] + key.substr(2);
    for (size_t i = machine().files.root.size() + 1; i < host.size(); ++i)
        if (host[i] == '\\') host[i] = '/';
    return host;
}

Node node_of(const std::string &key) {
    std::error_code error;
    const fs::file_status status = fs::status(host_of(key), error);
    if (fs::is_directory(status)) return Node::DIRECTORY;
    if (fs::exists(status)) return Node::FILE;
    const bool root = key.size() <= 3;
    if (root || node_of(parent_of(key)) == Node::DIRECTORY) return Node::MISSING;
    return Node::NO_PARENT;
}

DWORD attributes_of(const std::string &key, Node node) {
    const auto &table = machine().files.attributes;
    auto it = table.find(key);
    if (node == Node::DIRECTORY)
        return (it == table.end() ? 0 : it->second) | FILE_ATTRIBUTE_DIRECTORY;
    return it == table.end() ? FILE_ATTRIBUTE_ARCHIVE : it->second;
}

bool in_use(const std::string &key) {
    return machine().files.held.count(key) > 0 || stream_open_on(key);
}

DWORD missing_error(Node node) {
    return node == Node::NO_PARENT ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
}

bool read_host(const std::string &key, std::string *bytes) {
    std::ifstream in(host_of(key), std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    *bytes = text.str();
    return true;
}

bool write_host(const std::string &key, const std::string &bytes) {
    std::ofstream out(host_of(key), std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    return !out.fail();
}

void forget_attributes(const std::string &key) { machine().files.attributes.erase(key); }

std::string make_host_root() {
    std::string pattern = (fs::temp_directory_path() / "simwin.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("sim: cannot make a temporary directory");
    fs::create_directory(pattern + "/c");
    return pattern;
}

void remove_host_root(const std::string &root) {
    std::error_code error;
    fs::remove_all(root, error);
}

}  // namespace detail

}  // namespace sim
