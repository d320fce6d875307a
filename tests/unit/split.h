// The fields of a line of the tests' data files, split at one character (an empty text is one
// empty field).
#pragma once

#include <string>
#include <vector>

inline std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    return parts;
}
