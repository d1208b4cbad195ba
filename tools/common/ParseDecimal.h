// ParseDecimal: the number arguments of the command-line tools.
#pragma once

#include <cstdint>

// A decimal number from minimum to maximum: digits only, no sign, no blanks, no overflow.
// On success stores it in value and returns true; otherwise leaves value as it was.
inline bool ParseDecimal(const char* text, uint64_t minimum, uint64_t maximum, uint64_t& value) {
    if (*text == '\0') {
        return false;
    }
    uint64_t result = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (result > (maximum - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    if (result < minimum) {
        return false;
    }
    value = result;
    return true;
}
