// A small program of forms for the framework's tests, and a fresh
// application object around each test.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "vcl/headless/driver.h"
#include "vcl/vcl.h"
#include "winsim/world.h"

namespace vcltest {

using namespace vcl;

// Records the events of the forms, in order: "Main.Show", "Dialog.Hide", ...
inline std::vector<std::string>& Events() {
    static std::vector<std::string> events;
    return events;
}

class TRecordingForm : public TForm {
public:
    TRecordingForm(TComponent* owner, const std::string& name) : TForm(owner) {
        SetName(name);
        SetBorderStyle(bsDialog);
        SetBorderIcons(biSystemMenu);
        OnCreate = [this](TObject*) { Events().push_back(Name() + ".Create"); };
        OnShow = [this](TObject*) { Events().push_back(Name() + ".Show"); };
        OnHide = [this](TObject*) { Events().push_back(Name() + ".Hide"); };
        OnClose = [this](TObject*, TCloseAction&) { Events().push_back(Name() + ".Close"); };
        OnDestroy = [this](TObject*) { Events().push_back(Name() + ".Destroy"); };
    }
};

class TMainForm : public TRecordingForm {
public:
    explicit TMainForm(TComponent* owner) : TRecordingForm(owner, "Main") {
        SetCaption("Main window");
        SetClientWidth(306);
        SetClientHeight(370);
        btnOk = new TButton(this);
        btnOk->SetName("btnOk");
        btnOk->SetParent(this);
        btnOk->SetBounds(232, 336, 65, 25);
        btnOk->SetCaption("OK");
    }
    TButton* btnOk;
};

class TDialogForm : public TRecordingForm {
public:
    explicit TDialogForm(TComponent* owner) : TRecordingForm(owner, "Dialog") {
        SetCaption("Dialog");
        SetClientWidth(338);
        SetClientHeight(117);
        edtName = new TEdit(this);
        edtName->SetName("edtName");
        edtName->SetParent(this);
        edtName->SetBounds(136, 24, 161, 24);
        edtName->SetMaxLength(16);
        cboxList = new TComboBox(this);
        cboxList->SetName("cboxList");
        cboxList->SetParent(this);
        cboxList->SetBounds(88, 50, 121, 21);
        DeviceName = "";
    }
    TEdit* edtName;
    TComboBox* cboxList;
    std::string DeviceName;
};

class FrameworkTest : public testing::Test {
protected:
    void SetUp() override {
        headless::resetApplication();
        Events().clear();
    }
    // Before the World is reset, so the forms' ends happen in this test's World.
    void TearDown() override { headless::resetApplication(); }

    winsim::World& world() { return winsim::World::Get(); }

    // The start of a program: the application window, then the forms.
    void StartProgram() {
        Application->Initialize();
        Application->SetTitle("KT4790CAP");
        Application->CreateForm(mainForm);
        Application->CreateForm(dialogForm);
    }

    TMainForm* mainForm = nullptr;
    TDialogForm* dialogForm = nullptr;
};

}  // namespace vcltest
