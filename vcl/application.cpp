// TApplication: the program's forms, its hidden title window, the message
// loop and the exception box.
#include "vcl/backend.h"

namespace vcl {

TApplication* Application = new TApplication();

TApplication::TApplication() : TComponent(nullptr) {}

TApplication::~TApplication() { DestroyForms(); }

void TApplication::Initialize() {
    if (handle_ == nullptr) handle_ = Backend::CreateApplicationWindow(title_);
}

void TApplication::SetTitle(const std::string& title) {
    title_ = title;
    if (handle_ != nullptr) Backend::SetApplicationTitle(handle_, title_);
}

void TApplication::AddForm(TForm* form) {
    forms_.push_back(form);
    if (mainForm_ == nullptr) mainForm_ = form;
    form->CreateHandle();
    form->DoCreate();
}

void TApplication::Run() {
    if (!terminated_) Backend::RunLoop();
    if (terminated_) DestroyForms();
}

void TApplication::ProcessMessages() { Backend::ProcessMessages(); }

void TApplication::Terminate() {
    terminated_ = true;
    Backend::PostQuit();
}

void TApplication::HandleException() {
    if (!std::current_exception()) return;
    try {
        throw;
    } catch (const Exception& exception) {
        ShowException(exception);
    } catch (...) {
        ShowException(Exception(""));
    }
}

void TApplication::ShowException(const Exception& exception) {
    MessageBoxA(nullptr, exception.Message().c_str(), title_.c_str(), MB_OK | MB_ICONERROR);
}

void TApplication::RunHandler(const std::function<void()>& action) {
    try {
        action();
    } catch (...) {
        HandleException();
    }
}

void TApplication::DestroyForms() {
    while (!forms_.empty()) {
        TForm* form = forms_.back();
        form->DoDestroy();
        forms_.pop_back();
        if (form == mainForm_) mainForm_ = nullptr;
        delete form;
    }
    mainForm_ = nullptr;
    if (handle_ != nullptr) {
        Backend::DestroyApplicationWindow(handle_);
        handle_ = nullptr;
    }
}

}  // namespace vcl
