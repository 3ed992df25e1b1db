// Where a program keeps its settings between runs: binary values by section and entry name. The
// application class keeps them in the current user's registry profile; tests use a map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace q407::framework {

class ProfileStore {
  public:
    virtual ~ProfileStore() = default;
    // false when the value is missing; value receives all its bytes (any size)
    virtual bool ReadBinary(const char* section, const char* entry,
                            std::vector<uint8_t>& value) = 0;
    virtual bool WriteBinary(const char* section, const char* entry, const uint8_t* data,
                             size_t size) = 0;
};

}  // namespace q407::framework
