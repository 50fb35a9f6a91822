// TForm: a top-level window that is created once, shown and hidden.
#include "vcl/backend.h"

namespace vcl {

TForm::TForm(TComponent* owner) : TWinControl(owner) {
    // A form starts hidden; Visible is the form's own state, not a request.
    SetVisibleFlag(false);
}

TForm::~TForm() {
    activeControl_ = nullptr;
    if (Handle() != nullptr) Backend::DestroyWindows(this);
}

int TForm::ClientWidth() const {
    int extraWidth = 0, extraHeight = 0;
    Backend::FrameSize(this, extraWidth, extraHeight);
    return Width() - extraWidth;
}

int TForm::ClientHeight() const {
    int extraWidth = 0, extraHeight = 0;
    Backend::FrameSize(this, extraWidth, extraHeight);
    return Height() - extraHeight;
}

void TForm::SetClientWidth(int width) {
    clientWidth_ = width;
    FrameChanged();
}

void TForm::SetClientHeight(int height) {
    clientHeight_ = height;
    FrameChanged();
}

void TForm::FrameChanged() {
    int extraWidth = 0, extraHeight = 0;
    Backend::FrameSize(this, extraWidth, extraHeight);
    SetBounds(Left(), Top(), clientWidth_ >= 0 ? clientWidth_ + extraWidth : Width(),
              clientHeight_ >= 0 ? clientHeight_ + extraHeight : Height());
}

void TForm::SetBorderStyle(TFormBorderStyle style) {
    if (style == borderStyle_) return;
    borderStyle_ = style;
    Changed(Property::Style);
    FrameChanged();
}

void TForm::SetBorderIcons(unsigned icons) {
    if (icons == borderIcons_) return;
    borderIcons_ = icons;
    Changed(Property::Style);
    FrameChanged();
}

void TForm::SetFormStyle(TFormStyle style) {
    if (style == formStyle_) return;
    formStyle_ = style;
    // The system keeps a window's stay-on-top state apart from its style
    // bits; the framework makes a new window in the new style.
    if (Handle() != nullptr) {
        Backend::DestroyWindows(this);
        Backend::CreateWindows(this);
    }
}

void TForm::SetActiveControl(TWinControl* control) {
    if (control == this) return;
    activeControl_ = control;
    if (control != nullptr) Backend::Changed(control, Property::Focus);
}

void TForm::Deactivated(TWinControl* focused) {
    if (focused != nullptr && focused != this && focused->ParentForm() == this) activeControl_ = focused;
}

bool TForm::Activated() {
    if (activeControl_ == nullptr) return false;
    for (const TControl* c = activeControl_; c != this; c = c->Parent()) {
        if (c == nullptr || !c->Visible() || !c->Enabled()) return false;
    }
    Backend::Changed(activeControl_, Property::Focus);
    return true;
}

void TForm::SetVisible(bool visible) {
    if (visible == Visible()) return;
    if (inShowHide_) throw EInvalidOperation("Cannot change Visible in OnShow or OnHide");
    SetVisibleFlag(visible);
    struct ShowHideScope {
        bool& flag;
        explicit ShowHideScope(bool& f) : flag(f) { flag = true; }
        ~ShowHideScope() { flag = false; }
    };
    if (visible) {
        {
            ShowHideScope scope(inShowHide_);
            try {
                if (OnShow) OnShow(this);
            } catch (...) {
                Application->HandleException();
            }
        }
        Changed(Property::Visible);
    } else {
        Changed(Property::Visible);
        ShowHideScope scope(inShowHide_);
        try {
            if (OnHide) OnHide(this);
        } catch (...) {
            Application->HandleException();
        }
    }
}

void TForm::Show() {
    SetVisible(true);
    BringToFront();
}

void TForm::Close() {
    TCloseAction action = caHide;
    if (OnClose) OnClose(this, action);
    if (action == caNone) return;
    if (Application->MainForm() == this) {
        Application->Terminate();
    } else {
        Hide();
    }
}

void TForm::BringToFront() { Backend::BringToFront(this); }

void TForm::CentreOnScreen() {
    SetTop((GetSystemMetrics(SM_CYSCREEN) - Height()) / 2);
    SetLeft((GetSystemMetrics(SM_CXSCREEN) - Width()) / 2);
}

void TForm::Dispatch(TMessage& message) { Backend::DefaultHandler(this, message); }

void TForm::CreateHandle() {
    if (Handle() == nullptr) Backend::CreateWindows(this);
}

void TForm::DoCreate() {
    try {
        if (OnCreate) OnCreate(this);
    } catch (...) {
        Application->HandleException();
    }
}

void TForm::DoDestroy() {
    try {
        if (OnDestroy) OnDestroy(this);
    } catch (...) {
        Application->HandleException();
    }
}

}  // namespace vcl
