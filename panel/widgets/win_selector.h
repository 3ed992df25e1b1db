// The dialog's list of pages: each operation reaches every page in list order; one page at a
// time is shown.
#pragma once

#include <cstdint>
#include <vector>

#include "panel/widgets/panel_interface.h"

namespace q407::panel {

class CWinSelector {
  public:
    CWinSelector() = default;
    ~CWinSelector() { release(); }
    CWinSelector(const CWinSelector&) = delete;
    CWinSelector& operator=(const CWinSelector&) = delete;

    // A null page is not added.
    void add(IPanelInterface* page);
    // Hides every page, then shows the one at index, which becomes current; the previous
    // current index (-1 at first). An index outside the list only hides.
    int select(int index);
    void SetDevice(USBDevice* device);
    void ShowAll(int flag);
    void UpdateMeters(const uint8_t* peaks24);
    void ApplyConfig(const PanelConfig& config);
    // Releases every page and empties the list.
    void release();

    int current() const { return current_; }
    std::size_t size() const { return pages_.size(); }

  private:
    std::vector<IPanelInterface*> pages_;
    int current_ = -1;
};

}  // namespace q407::panel
