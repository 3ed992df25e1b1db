// The model behind the output routing view: which client playback channel each device output
// plays, stepped up and down per output or per stereo pair. Plain C++; the window maps its
// buttons onto these operations and shows LabelText.
#pragma once

#include <cstdint>
#include <string>

#include "shared/output_map.h"

namespace q407::panel {

// The rows an operation touched; lower == upper when it acted on one row.
struct OutputRowPair {
    int32_t lower = 0;
    int32_t upper = 0;
};

struct OutputRoutingChange {
    bool changed = false;  // the map moved (a value at the end of its range does not)
    OutputRowPair rows;
};

class OutputRoutingModel {
  public:
    // map must outlive the model. rowCount is cut to the map's size. Entries not below the row
    // count are replaced by their own row index here, as the view does when it is created.
    OutputRoutingModel(OutputMap* map, int32_t rowCount);

    int32_t RowCount() const { return rows_; }
    int32_t Entry(int32_t row) const;
    // What the row's number label shows: the channel counted from 1.
    std::string LabelText(int32_t row) const;

    OutputRowPair PairOf(int32_t row) const;
    OutputRoutingChange Plus(int32_t row);
    OutputRoutingChange Minus(int32_t row);

    bool Linked() const { return linked_; }
    // Returns the new link state; the map does not change.
    bool ToggleLink();
    // While linked, the upper row of each pair is driven from its lower row.
    bool RowButtonsVisible(int32_t row) const;
    // Every output plays its own channel again, unlinked.
    void Reset();

  private:
    OutputRoutingChange Step(int32_t row, int32_t delta);
    bool RowValid(int32_t row) const { return row >= 0 && row < rows_; }

    OutputMap* map_;
    int32_t rows_;
    bool linked_ = false;
};

}  // namespace q407::panel
