// The table behind the panel's bitmap cache: 256 entries, each a name of at most 31 characters
// and a bitmap handle (empty when the name could not be loaded). Plain C++ over any character
// and handle type, so that the rules are tested without windows.
//
// Rules of a lookup:
// - a null name, or one longer than 31 characters (it could not be kept to match the next
//   request), gives no bitmap and loads nothing;
// - a name already in the table gives that entry's handle, which may be empty: a name that
//   failed once is not loaded, nor reported, again;
// - otherwise the first entry with an empty handle takes the name and the load's result;
// - when every entry holds a bitmap the name is refused: nothing is loaded, so no handle leaks
//   and no bitmap that windows still draw with is replaced.
#pragma once

#include <cstddef>

namespace q407::panel {

template <typename Char, typename Handle>
class BitmapCacheTable {
  public:
    static constexpr std::size_t kEntries = 256;
    static constexpr std::size_t kNameLength = 31;

    enum class Outcome {
        kFound,       // the name was in the table
        kLoaded,      // loaded now and kept
        kLoadFailed,  // kept with an empty handle: the caller reports it, once
        kRefused,     // null, too long, or no free entry: nothing loaded
    };
    struct Result {
        Handle handle;
        Outcome outcome;
    };

    // load() is called at most once and returns the handle, empty on failure.
    template <typename Load>
    Result Lookup(const Char* name, Load&& load) {
        if (name == nullptr) {
            return {Handle{}, Outcome::kRefused};
        }
        std::size_t length = 0;
        while (name[length] != Char{}) {
            if (++length > kNameLength) {
                return {Handle{}, Outcome::kRefused};
            }
        }
        for (Entry& entry : entries_) {
            if (SameName(entry.name, name)) {
                return {entry.handle, Outcome::kFound};
            }
        }
        for (Entry& entry : entries_) {
            if (entry.handle == Handle{}) {
                // The name is kept before the load is reported, so that a request made while the
                // report is on screen finds it and is not reported twice.
                for (std::size_t i = 0; i <= length; ++i) {
                    entry.name[i] = name[i];
                }
                entry.handle = load();
                return {entry.handle,
                        entry.handle == Handle{} ? Outcome::kLoadFailed : Outcome::kLoaded};
            }
        }
        return {Handle{}, Outcome::kRefused};
    }

    // Forgets every entry (the handles are not released: bitmaps live as long as the process).
    void Clear() {
        for (Entry& entry : entries_) {
            entry = Entry{};
        }
    }

    // Entries that hold a name (for tests and traces).
    std::size_t NamedEntries() const {
        std::size_t count = 0;
        for (const Entry& entry : entries_) {
            count += entry.name[0] != Char{} ? 1u : 0u;
        }
        return count;
    }

  private:
    struct Entry {
        Char name[kNameLength + 1]{};
        Handle handle{};
    };

    static bool SameName(const Char* kept, const Char* name) {
        std::size_t i = 0;
        for (; kept[i] != Char{}; ++i) {
            if (kept[i] != name[i]) {
                return false;
            }
        }
        // Unused entries have an empty name, which only an empty name matches.
        return name[i] == Char{};
    }

    Entry entries_[kEntries]{};
};

}  // namespace q407::panel
