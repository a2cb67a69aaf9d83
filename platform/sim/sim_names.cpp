// Windows name comparison: ASCII letters match without regard to case.
#include "platform/sim/sim_internal.h"

#include <algorithm>

namespace sim {
namespace detail {

static char lower_char(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), lower_char);
    return text;
}

bool same_name(const std::string &a, const std::string &b) {
    return a.size() == b.size() && lower(a) == lower(b);
}

bool NameLess::operator()(const std::string &a, const std::string &b) const {
    // Bytes compared as unsigned, as the wide characters Wine compares would be.
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(lower_char(x)) <
               static_cast<unsigned char>(lower_char(y));
    });
}

}  // namespace detail
}  // namespace sim
