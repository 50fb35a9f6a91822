// Exceptions, components and string lists of the form framework.
#include <algorithm>
#include <cstdio>

#include "vcl/vcl.h"

namespace vcl {

Exception::Exception(std::string message) : message_(std::move(message)) {}

// ---------------------------------------------------------------------------

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_ != nullptr) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
    // Each owned component takes itself off this list as it goes.
    while (!components_.empty()) delete components_.back();
    if (owner_ != nullptr) {
        auto& siblings = owner_->components_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
}

// ---------------------------------------------------------------------------

const std::string& TStrings::Strings(int index) const {
    if (index < 0 || index >= Count()) {
        char message[64];
        std::snprintf(message, sizeof message, "List index out of bounds (%d)", index);
        throw EInvalidOperation(message);
    }
    return items_[static_cast<std::size_t>(index)];
}

int TStrings::Add(const std::string& text) {
    items_.push_back(text);
    const int index = Count() - 1;
    if (changed_) changed_(Change::Added, index);
    return index;
}

void TStrings::Delete(int index) {
    Strings(index);  // range check
    items_.erase(items_.begin() + index);
    if (changed_) changed_(Change::Deleted, index);
}

void TStrings::Clear() {
    items_.clear();
    if (changed_) changed_(Change::Cleared, -1);
}

void TStrings::Assign(std::vector<std::string> items) {
    items_.clear();
    if (changed_) changed_(Change::Cleared, -1);
    items_ = std::move(items);
    for (int i = 0; i < Count(); ++i) {
        if (changed_) changed_(Change::Added, i);
    }
}

int TStrings::IndexOf(const std::string& text) const {
    const auto found = std::find(items_.begin(), items_.end(), text);
    return found == items_.end() ? -1 : static_cast<int>(found - items_.begin());
}

std::string TStrings::Text() const {
    std::string text;
    for (const auto& line : items_) text += line + "\r\n";
    return text;
}

}  // namespace vcl
