// Windows name comparison: ASCII letters match without regard to case.
#include "platform/sim/sim_internal.h"

#include <algorithm>
#include <vector>

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

namespace sim {
namespace detail {

namespace {

// Code points of a UTF-8 text; a byte that starts no sequence stands for itself.
std::vector<unsigned> code_points(const std::string &text) {
    std::vector<unsigned> points;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        bool sequence = extra > 0 && i + extra < text.size();
        for (int k = 1; sequence && k <= extra; k++)
            sequence = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!sequence) {
            points.push_back(c);
            i++;
            continue;
        }
        unsigned point = c & (0x3F >> extra);
        for (int k = 1; k <= extra; k++) point = (point << 6) | (text[i + k] & 0x3F);
        points.push_back(point);
        i += extra + 1;
    }
    return points;
}

void append_utf8(std::string *out, unsigned point) {
    if (point < 0x80) {
        *out += static_cast<char>(point);
    } else if (point < 0x800) {
        *out += static_cast<char>(0xC0 | (point >> 6));
        *out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        *out += static_cast<char>(0xE0 | (point >> 12));
        *out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// Letters with a macron map to the plain letter, as Windows' best fit does.
char best_fit(unsigned point) {
    switch (point) {
    case 0x100: return 'A';
    case 0x101: return 'a';
    case 0x112: return 'E';
    case 0x113: return 'e';
    default: return '?';
    }
}

// The double-byte code page: CJK characters from U+4E00 as a lead and a trail byte.
constexpr unsigned kFirstCjk = 0x4E00, kLastCjk = 0x9FFF;
constexpr unsigned kFirstLead = 0x81, kFirstTrail = 0x40, kTrails = 0xFF - kFirstTrail;

bool double_byte() { return machine().system.double_byte; }

}  // namespace

std::string to_ansi(const std::string &name) {
    std::string ansi;
    for (unsigned point : code_points(name)) {
        if (double_byte() && point >= kFirstCjk && point <= kLastCjk) {
            ansi += static_cast<char>(kFirstLead + (point - kFirstCjk) / kTrails);
            ansi += static_cast<char>(kFirstTrail + (point - kFirstCjk) % kTrails);
        } else {
            ansi += point < (double_byte() ? 0x80u : 0x100u) ? static_cast<char>(point) : best_fit(point);
        }
    }
    return ansi;
}

std::string from_ansi(const std::string &ansi) {
    std::string name;
    for (size_t i = 0; i < ansi.size(); i++) {
        const unsigned lead = static_cast<unsigned char>(ansi[i]);
        const unsigned trail = i + 1 < ansi.size() ? static_cast<unsigned char>(ansi[i + 1]) : 0;
        const bool pair = double_byte() && lead >= kFirstLead && trail >= kFirstTrail && trail < 0xFF;
        const unsigned point = pair ? kFirstCjk + (lead - kFirstLead) * kTrails + (trail - kFirstTrail) : lead;
        if (pair && point <= kLastCjk) {
            append_utf8(&name, point);
            i++;
        } else {
            append_utf8(&name, lead);
        }
    }
    return name;
}

std::u16string to_wide(const std::string &name) {
    std::u16string wide;
    for (unsigned point : code_points(name)) wide += static_cast<char16_t>(point);
    return wide;
}

std::string from_wide(const std::u16string &wide) {
    std::string name;
    for (char16_t unit : wide) append_utf8(&name, unit);
    return name;
}

}  // namespace detail
}  // namespace sim
