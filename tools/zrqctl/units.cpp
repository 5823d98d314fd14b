#include "units.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>

#include "zrqctl.h"

// Rounds to the nearest tenth-mil, halves away from zero. Exact rational
// arithmetic: 0.1in must be exactly 1000.
bool ParseDistance(const std::string& text, int32_t* tenthMils, std::string* why)
{
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    __int128 mantissa = 0;
    int digitsSeen = 0;
    int digits = 0;  // significant ones
    int fractionDigits = 0;
    bool point = false;
    for (; at < text.size(); ++at) {
        char c = text[at];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9')
            break;
        ++digitsSeen;
        if (mantissa != 0 || c != '0')
            ++digits;
        if (digits > 18) {
            *why = "too many digits";
            return false;
        }
        mantissa = mantissa * 10 + (c - '0');
        if (point)
            ++fractionDigits;
    }
    if (digitsSeen == 0) {
        *why = "not a number";
        return false;
    }
    std::string suffix = text.substr(at);
    __int128 numerator = 1, denominator = 1;
    if (suffix.empty()) {
    } else if (strcasecmp(suffix.c_str(), "in") == 0) {
        numerator = 10000;
    } else if (strcasecmp(suffix.c_str(), "mil") == 0) {
        numerator = 10;
    } else if (strcasecmp(suffix.c_str(), "mm") == 0) {
        numerator = 50000;  // 1 mm = 100000/254 tenth-mils
        denominator = 127;
    } else {
        *why = "unknown unit '" + suffix + "' (use in, mm, mil, or none for tenths of a mil)";
        return false;
    }
    for (int i = 0; i < fractionDigits; ++i)
        denominator *= 10;
    __int128 scaled = mantissa * numerator;
    __int128 rounded = (scaled + denominator / 2) / denominator;
    if (negative)
        rounded = -rounded;
    if (rounded > INT32_MAX || rounded < INT32_MIN) {
        *why = "out of range (more than 32 bits of tenths of a mil)";
        return false;
    }
    *tenthMils = static_cast<int32_t>(rounded);
    return true;
}

bool ParseInteger(const std::string& text, int32_t* value, std::string* why)
{
    const char* begin = text.c_str();
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) {
        *why = "not a whole number";
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long parsed = strtoll(begin, &end, hex ? 16 : 10);
    if (end == begin || *end != '\0') {
        *why = "not a whole number";
        return false;
    }
    if (errno == ERANGE
        || (hex ? (parsed < 0 || parsed > 0xFFFFFFFFll)
                : (parsed < INT32_MIN || parsed > INT32_MAX))) {
        *why = "out of range (32 bits)";
        return false;
    }
    *value = static_cast<int32_t>(static_cast<uint32_t>(parsed));
    return true;
}

std::string FormatDistance(int32_t tenthMils)
{
    char text[48];
    long long v = tenthMils;
    const char* sign = v < 0 ? "-" : "";
    long long magnitude = v < 0 ? -v : v;
    switch (g_options.units) {
    case Unit::TenthMil: snprintf(text, sizeof text, "%lld", v); break;
    case Unit::Inch:
        snprintf(text, sizeof text, "%s%lld.%04lld", sign, magnitude / 10000, magnitude % 10000);
        break;
    case Unit::Millimetre: {
        long long hundredThousandths = magnitude * 254;  // of a millimetre
        snprintf(text, sizeof text, "%s%lld.%05lld", sign, hundredThousandths / 100000,
            hundredThousandths % 100000);
        break;
    }
    }
    return text;
}

const char* UnitName()
{
    switch (g_options.units) {
    case Unit::Inch: return "in";
    case Unit::Millimetre: return "mm";
    case Unit::TenthMil: return "tmil";
    }
    return "";
}
