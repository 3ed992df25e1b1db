// Copies a window text into a control record's fixed text field, cut to the field's size.
#pragma once

#include <cstddef>

// Copies at most N - 1 characters of source (nullptr copies nothing) and terminates.
template <typename Char, std::size_t N>
void CopyRecordText(Char (&field)[N], const Char* source) {
    std::size_t i = 0;
    if (source != nullptr) {
        for (; i + 1 < N && source[i] != Char{}; ++i) {
            field[i] = source[i];
        }
    }
    field[i] = Char{};
}

// The number of characters before the terminator.
template <typename Char, std::size_t N>
std::size_t RecordTextLength(const Char (&field)[N]) {
    std::size_t i = 0;
    while (i < N && field[i] != Char{}) {
        ++i;
    }
    return i;
}
