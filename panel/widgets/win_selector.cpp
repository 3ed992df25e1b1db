#include "panel/widgets/win_selector.h"

namespace q407::panel {

void CWinSelector::add(IPanelInterface* page) {
    if (page != nullptr) pages_.push_back(page);
}

int CWinSelector::select(int index) {
    for (IPanelInterface* page : pages_) page->Show(0);
    const int previous = current_;
    if (index >= 0 && static_cast<std::size_t>(index) < pages_.size()) {
        pages_[static_cast<std::size_t>(index)]->Show(1);
        current_ = index;
    }
    return previous;
}

void CWinSelector::SetDevice(USBDevice* device) {
    for (IPanelInterface* page : pages_) page->SetDevice(device);
}

void CWinSelector::ShowAll(int flag) {
    for (IPanelInterface* page : pages_) page->ShowAll(flag);
}

void CWinSelector::UpdateMeters(const uint8_t* peaks24) {
    for (IPanelInterface* page : pages_) page->UpdateMeters(peaks24);
}

void CWinSelector::ApplyConfig(const PanelConfig& config) {
    for (IPanelInterface* page : pages_) page->ApplyConfig(config);
}

void CWinSelector::release() {
    // Taken out first: a page may be gone once released.
    std::vector<IPanelInterface*> pages;
    pages.swap(pages_);
    for (IPanelInterface* page : pages) page->Release();
    current_ = -1;
}

}  // namespace q407::panel
