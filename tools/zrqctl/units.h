// Distances and numbers as the operator writes and reads them.
#ifndef ZRQ_TOOLS_ZRQCTL_UNITS_H
#define ZRQ_TOOLS_ZRQCTL_UNITS_H

#include <stdint.h>

#include <string>

// "1.5in", "12.7mm", "250mil" or a bare number of tenths of a mil.
bool ParseDistance(const std::string& text, int32_t* tenthMils, std::string* why);
// Decimal, or hexadecimal after 0x (which may use all 32 bits).
bool ParseInteger(const std::string& text, int32_t* value, std::string* why);

// In the unit of --units, without the unit's name.
std::string FormatDistance(int32_t tenthMils);
const char* UnitName();

#endif
