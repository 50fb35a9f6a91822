// The controls of the form framework: their stored properties and events.
// Every change is passed to the backend, which mirrors it (or not).
#include <algorithm>
#include <cctype>

#include "vcl/backend.h"

namespace vcl {

// ---------------------------------------------------------------------------
// TControl
// ---------------------------------------------------------------------------

TControl::TControl(TComponent* owner) : TComponent(owner) {}

TControl::~TControl() {
    if (parent_ != nullptr) {
        TForm* form = ParentForm();
        if (form != nullptr && form->ActiveControl() == this) form->SetActiveControl(nullptr);
        auto& siblings = parent_->controls_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
}

void TControl::SetParent(TWinControl* parent) {
    if (parent == parent_) return;
    if (parent_ != nullptr) {
        auto& siblings = parent_->controls_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
    parent_ = parent;
    if (parent_ != nullptr) parent_->controls_.push_back(this);
    Changed(Property::Parent);
}

TForm* TControl::ParentForm() const {
    const TControl* control = this;
    while (control->parent_ != nullptr) control = control->parent_;
    if (control->Kind() != ControlKind::Form) return nullptr;
    return static_cast<TForm*>(const_cast<TControl*>(control));
}

void TControl::SetBounds(int left, int top, int width, int height) {
    if (left == left_ && top == top_ && width == width_ && height == height_) return;
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    Changed(Property::Bounds);
}

void TControl::SetText(const std::string& text) {
    if (text == text_) return;
    text_ = text;
    Changed(Property::Text);
}

void TControl::SetVisible(bool visible) {
    if (visible == visible_) return;
    visible_ = visible;
    Changed(Property::Visible);
}

void TControl::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    Changed(Property::Enabled);
}

const TFont& TControl::Font() const {
    if (parentFont_ && parent_ != nullptr) return parent_->Font();
    return font_;
}

void TControl::SetFont(const TFont& font) {
    font_ = font;
    parentFont_ = false;
    Changed(Property::Font);
}

void TControl::SetColor(TColor color) {
    if (color == color_) return;
    color_ = color;
    Changed(Property::Color);
}

void TControl::Click() {
    if (OnClick) OnClick(this);
}

void TControl::Changed(Property property) { Backend::Changed(this, property); }

// ---------------------------------------------------------------------------
// TWinControl
// ---------------------------------------------------------------------------

TWinControl::TWinControl(TComponent* owner) : TControl(owner) {}

TWinControl::~TWinControl() {
    // The children are deleted by their owner; they must not reach back here.
    for (TControl* child : controls_) child->parent_ = nullptr;
    controls_.clear();
}

void TWinControl::SetTabOrder(int order) {
    tabOrder_ = order;
    tabStop_ = true;
    Changed(Property::TabOrder);
}

void TWinControl::SetFocus() {
    TForm* form = ParentForm();
    if (form != nullptr && form != this) form->SetActiveControl(this);
}

bool TWinControl::Focused() const {
    const TForm* form = ParentForm();
    return form != nullptr && form->ActiveControl() == this;
}

// ---------------------------------------------------------------------------
// Buttons, labels, group boxes
// ---------------------------------------------------------------------------

TButton::TButton(TComponent* owner) : TWinControl(owner) { SetTabStop(true); }

TCheckBox::TCheckBox(TComponent* owner) : TWinControl(owner) { SetTabStop(true); }

void TCheckBox::SetChecked(bool checked) {
    if (checked == checked_) return;
    checked_ = checked;
    Changed(Property::Checked);
    Click();
}

TRadioButton::TRadioButton(TComponent* owner) : TWinControl(owner) { SetTabStop(true); }

void TRadioButton::SetChecked(bool checked) {
    if (checked == checked_) return;
    checked_ = checked;
    Changed(Property::Checked);
    if (!checked) return;
    if (Parent() != nullptr) {
        for (TControl* sibling : Parent()->Controls()) {
            if (sibling == this || sibling->Kind() != ControlKind::RadioButton) continue;
            auto* other = static_cast<TRadioButton*>(sibling);
            if (other->checked_) {
                other->checked_ = false;
                other->Changed(Property::Checked);
            }
        }
    }
    Click();
}

TGroupBox::TGroupBox(TComponent* owner) : TWinControl(owner) {}

TLabel::TLabel(TComponent* owner) : TControl(owner) {}

void TLabel::SetAutoSize(bool autoSize) {
    autoSize_ = autoSize;
    AdjustSize();
}

void TLabel::SetText(const std::string& text) {
    TControl::SetText(text);
    AdjustSize();
}

void TLabel::AdjustSize() {
    if (!autoSize_) return;
    const int width = Backend::TextWidth(this, Text());
    if (width >= 0 && width != Width()) SetWidth(width);
}

// ---------------------------------------------------------------------------
// Edits
// ---------------------------------------------------------------------------

TEdit::TEdit(TComponent* owner) : TWinControl(owner) {
    color_ = clWindow;
    SetTabStop(true);
}

void TEdit::SetMaxLength(int length) {
    maxLength_ = std::max(length, 0);
    Changed(Property::MaxLength);
}

void TEdit::SetPasswordChar(char c) {
    passwordChar_ = c;
    Changed(Property::PasswordChar);
}

void TEdit::SetReadOnly(bool readOnly) {
    readOnly_ = readOnly;
    Changed(Property::ReadOnly);
}

TMemo::TMemo(TComponent* owner)
    : TWinControl(owner), lines_([this](TStrings::Change, int) {
          // The window text is the lines joined, without a break after the last.
          std::string text = lines_.Text();
          if (!text.empty()) text.resize(text.size() - 2);
          TControl::SetText(text);
      }) {
    color_ = clWindow;
    SetTabStop(true);
}

void TMemo::SetText(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    lines_.Assign(std::move(lines));
}

void TMemo::SetReadOnly(bool readOnly) {
    readOnly_ = readOnly;
    Changed(Property::ReadOnly);
}

// ---------------------------------------------------------------------------
// Combo boxes
// ---------------------------------------------------------------------------

TCustomComboBox::TCustomComboBox(TComponent* owner)
    : TWinControl(owner), items_([this](TStrings::Change change, int index) { ItemsChanged(change, index); }) {
    color_ = clWindow;
    SetTabStop(true);
}

// The selection follows the list as the system's combo box keeps it: a
// cleared list (with its text) selects nothing, deleting the selected item
// selects nothing, deleting one before it keeps the same item selected.
void TCustomComboBox::ItemsChanged(TStrings::Change change, int index) {
    Changed(Property::Items);
    if (change == TStrings::Change::Cleared) {
        itemIndex_ = -1;
        text_.clear();
        Changed(Property::ItemIndex);
    } else if (change == TStrings::Change::Deleted && itemIndex_ >= 0) {
        if (index == itemIndex_) {
            itemIndex_ = -1;
            if (style_ == csDropDownList) text_.clear();
            Changed(Property::ItemIndex);
        } else if (index < itemIndex_) {
            --itemIndex_;
            Changed(Property::ItemIndex);
        }
    }
}

void TCustomComboBox::SetItemIndex(int index) {
    if (index < 0 || index >= items_.Count()) {
        itemIndex_ = -1;
        text_.clear();
    } else {
        itemIndex_ = index;
        text_ = items_[index];
    }
    Changed(Property::ItemIndex);
}

void TCustomComboBox::Clear() { items_.Clear(); }

void TCustomComboBox::SetStyle(TComboBoxStyle style) {
    style_ = style;
    Changed(Property::Style);
}

TDriveComboBox::TDriveComboBox(TComponent* owner) : TCustomComboBox(owner) {
    SetStyle(csDropDownList);
    const DWORD drives = GetLogicalDrives();
    for (int bit = 0; bit < 26; ++bit) {
        if ((drives >> bit) & 1u) Items().Add(std::string(1, static_cast<char>('a' + bit)) + ":");
    }
    SetDrive(Backend::CurrentDrive());
    if (ItemIndex() < 0 && Items().Count() > 0) SetItemIndex(0);
}

char TDriveComboBox::Drive() const {
    if (ItemIndex() < 0) return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(Items()[ItemIndex()][0])));
}

void TDriveComboBox::SetDrive(char letter) {
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    for (int i = 0; i < Items().Count(); ++i) {
        if (Items()[i][0] == lower) {
            SetItemIndex(i);
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Progress bar, image
// ---------------------------------------------------------------------------

TProgressBar::TProgressBar(TComponent* owner) : TWinControl(owner) {}

void TProgressBar::SetMin(int value) {
    min_ = value;
    position_ = std::clamp(position_, min_, std::max(min_, max_));
    Changed(Property::Range);
}

void TProgressBar::SetMax(int value) {
    max_ = value;
    position_ = std::clamp(position_, min_, std::max(min_, max_));
    Changed(Property::Range);
}

void TProgressBar::SetPosition(int value) {
    position_ = std::clamp(value, min_, std::max(min_, max_));
    Changed(Property::Position);
}

void TIcon::LoadFromResourceName(const std::string& name) {
    resourceName_ = name;
    handle_ = Backend::LoadIconResource(name);
}

TImage::TImage(TComponent* owner) : TControl(owner) {}

// ---------------------------------------------------------------------------
// Menus and the save-file dialog
// ---------------------------------------------------------------------------

void TMenuItem::Click() {
    if (OnClick) OnClick(this);
}

TPopupMenu::~TPopupMenu() { Backend::MenuDestroyed(this); }

void TPopupMenu::Popup(int x, int y) { Backend::PopupMenu(this, x, y); }

bool TSaveDialog::Execute() {
    char file[MAX_PATH] = {};
    fileName_.copy(file, sizeof file - 1);
    // "Text files|*.txt|All|*.*" becomes the system's list of zero-ended
    // strings that ends with an empty one.
    std::string filter = filter_;
    std::replace(filter.begin(), filter.end(), '|', '\0');
    filter.push_back('\0');

    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Application->Handle();
    ofn.lpstrFilter = filter_.empty() ? nullptr : filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrDefExt = defaultExt_.empty() ? nullptr : defaultExt_.c_str();
    ofn.Flags = OFN_HIDEREADONLY | OFN_ENABLESIZING;
#ifdef OFN_EXPLORER
    ofn.Flags |= OFN_EXPLORER;
#endif
    if (!GetSaveFileNameA(&ofn)) return false;
    file[sizeof file - 1] = '\0';
    fileName_ = file;
    return true;
}

}  // namespace vcl
