#include "panel/widgets/output_routing_model.h"

#include <algorithm>

namespace q407::panel {

OutputRoutingModel::OutputRoutingModel(OutputMap* map, int32_t rowCount)
    : map_(map), rows_(std::clamp(rowCount, 0, kOutputChannelCount)) {
    for (int32_t i = 0; i < rows_; ++i) {
        if (map_->entries[i] >= rows_) {
            map_->entries[i] = i;
        }
    }
}

int32_t OutputRoutingModel::Entry(int32_t row) const {
    return RowValid(row) ? map_->entries[row] : 0;
}

std::string OutputRoutingModel::LabelText(int32_t row) const {
    return std::to_string(int64_t{Entry(row)} + 1);
}

OutputRowPair OutputRoutingModel::PairOf(int32_t row) const {
    if (!linked_) {
        return {row, row};
    }
    const int32_t lower = row & ~1;
    // An odd row count leaves the last row without a partner.
    return {lower, lower + 1 < rows_ ? lower + 1 : lower};
}

OutputRoutingChange OutputRoutingModel::Step(int32_t row, int32_t delta) {
    if (!RowValid(row)) {
        return {};
    }
    const OutputRowPair pair = PairOf(row);
    const int64_t a = int64_t{map_->entries[pair.lower]} + delta;
    const int64_t b = int64_t{map_->entries[pair.upper]} + delta;
    const bool blocked = delta > 0 ? (a >= rows_ || b >= rows_) : (a < 0 || b < 0);
    if (blocked) {
        return {false, pair};
    }
    map_->entries[pair.lower] = static_cast<int32_t>(a);
    map_->entries[pair.upper] = static_cast<int32_t>(b);
    return {true, pair};
}

OutputRoutingChange OutputRoutingModel::Plus(int32_t row) {
    return Step(row, +1);
}

OutputRoutingChange OutputRoutingModel::Minus(int32_t row) {
    return Step(row, -1);
}

bool OutputRoutingModel::ToggleLink() {
    linked_ = !linked_;
    return linked_;
}

bool OutputRoutingModel::RowButtonsVisible(int32_t row) const {
    return !(linked_ && (row & 1) == 1);
}

void OutputRoutingModel::Reset() {
    for (int32_t i = 0; i < rows_; ++i) {
        map_->entries[i] = i;
    }
    linked_ = false;
}

}  // namespace q407::panel
