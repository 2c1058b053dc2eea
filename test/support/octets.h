// Test support: octets written as hexadecimal text, "06 0C 2B" (blanks between octets optional).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline std::vector<uint8_t> octets(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}
