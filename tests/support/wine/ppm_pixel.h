// One pixel of a binary PPM picture, as the session's screenshots write it for a .ppm name.
#pragma once

#include <fstream>
#include <optional>
#include <ostream>
#include <string>

namespace q407::test {

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "(" << c.r << "," << c.g << "," << c.b << ")";
}

// The pixel at (x, y) of a binary PPM file; none for another format or a point outside it.
inline std::optional<Rgb> PixelOf(const std::string& path, int x, int y) {
    std::ifstream file(path, std::ios::binary);
    std::string magic;
    int width = 0, height = 0, maxValue = 0;
    if (!(file >> magic >> width >> height >> maxValue) || magic != "P6" || maxValue != 255 ||
        x < 0 || y < 0 || x >= width || y >= height)
        return std::nullopt;
    file.get();
    file.seekg(static_cast<std::streamoff>((static_cast<long>(y) * width + x) * 3), std::ios::cur);
    unsigned char rgb[3];
    if (!file.read(reinterpret_cast<char*>(rgb), 3)) return std::nullopt;
    return Rgb{rgb[0], rgb[1], rgb[2]};
}

}  // namespace q407::test
