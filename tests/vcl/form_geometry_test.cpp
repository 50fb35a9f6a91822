// The geometry of the application's forms, in both builds (KT4790_ASPI
// selects KT4790MCAP's values): each form's client area and each control's
// parent and position, pinned to the forms' layout tables. These are the
// numbers; the Wine check (formcheck) compares the real windows with the model.
//
// A form whose layout table gives positions must hold exactly the controls
// of its table. A form that has none of its controls yet is reported as
// skipped, so the pins take effect as soon as its controls are written.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/Chgdevname.h"
#include "app/Clearpwd.h"
#include "app/Fchkpwd.h"
#include "app/Jutility.h"
#include "app/Pchkpwd.h"
#include "format/Copyfile.h"
#include "format/Dformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"
#include "vcl/vcl.h"

namespace {

#ifdef KT4790_ASPI
constexpr bool kMcap = true;
#else
constexpr bool kMcap = false;
#endif

// Where a control lies: its parent (empty: the form) and its bounds.
struct Place {
    std::string parent;
    int left, top, width, height;
    bool operator==(const Place& other) const {
        return parent == other.parent && left == other.left && top == other.top && width == other.width &&
               height == other.height;
    }
};

std::ostream& operator<<(std::ostream& out, const Place& place) {
    return out << "{" << (place.parent.empty() ? "form" : place.parent) << ": " << place.left << ", " << place.top
               << ", " << place.width << " x " << place.height << "}";
}

using Places = std::map<std::string, Place>;

struct FormPin {
    std::string name;
    std::function<std::unique_ptr<vcl::TForm>()> make;
    int clientWidth, clientHeight;
    bool positionsGiven;  // false: the table gives the client area only
    Places controls;
};

// What a test's name shows of its parameter.
void PrintTo(const FormPin& pin, std::ostream* out) { *out << pin.name; }

template <class Form>
std::function<std::unique_ptr<vcl::TForm>()> Maker() {
    return [] { return std::unique_ptr<vcl::TForm>(new Form(nullptr)); };
}

std::vector<FormPin> Pins() {
    const std::string form;  // a control that lies directly on the form
    return {
        {"JUtilityForm", Maker<TJUtilityForm>(), 306, kMcap ? 418 : 370, true,
         {{"GroupBox1", {form, 8, 0, 289, kMcap ? 369 : 321}},
          {"labDeviceList", {"GroupBox1", 8, 24, 69, 19}},
          {"CBoxDeviceList", {"GroupBox1", 88, 22, 121, 21}},
          {"btnRefresh", {"GroupBox1", 216, 16, 65, 25}},
          {"btnSetNChkPwd", {"GroupBox1", 18, 56, 249, 33}},
          {"btnChangPwd", {"GroupBox1", 18, 100, 249, 33}},
          {"btnClearPwd", {"GroupBox1", 18, 144, 249, 33}},
          {"btnChangDevName", {"GroupBox1", 18, 188, 249, 33}},
          {"btnFormat", {"GroupBox1", 18, 232, 249, 33}},
          {"btnPartition", {"GroupBox1", 18, 276, 249, 33}},
          {"btnCopyFile", {"GroupBox1", 18, kMcap ? 320 : 328, 249, 33}},
          {"btnClose", {form, 232, kMcap ? 384 : 336, 65, 25}},
          {"btnMini", {form, 120, kMcap ? 384 : 336, 97, 25}}}},
        {"JSFormatForm", Maker<TJSFormatForm>(), 312, 198, true,
         {{"labVolume", {form, 16, 28, kMcap ? 89 : 97, 19}},
          {"edtVolume", {form, 112, 24, 185, 24}},
          {"btnStart", {form, 48, 160, 73, 25}},
          {"btnClose", {form, 184, 160, 73, 25}},
          {"PBar", {form, 16, 64, 281, 25}},
          {"GroupBox1", {form, 16, 104, 281, 49}},
          {"rbtnFDDBoot", {"GroupBox1", 8, 16, 105, 25}},
          {"rbtnZIPBoot", {"GroupBox1", 112, 16, 81, 25}},
          {"rbtnHDDBoot", {"GroupBox1", 192, 16, 81, 25}}}},
        {"ClearPasswdForm", Maker<TClearPasswdForm>(), 237, 138, true,
         {{"labDoc", {form, 32, 16, 172, 19}},
          {"edtPasswd", {form, kMcap ? 16 : 24, 48, kMcap ? 201 : 185, 24}},
          {"btnOK", {form, 16, 88, 65, 25}},
          {"btnHint", {form, 88, 88, 65, 25}},
          {"btnCancel", {form, 160, 88, 65, 25}}}},
        {"JDFormatForm", Maker<TJDFormatForm>(), 298, 345, true,
         {{"rbtnMainStorage", {form, 16, 8, 265, 25}},
          {"rbtnAcceStorage", {form, 16, 36, 265, 25}},
          {"rbtnBoth", {form, 16, 64, 265, 25}},
          {"Label1", {form, 16, 100, 265, 19}},
          {"edtMainVolume", {form, 16, 120, 265, 24}},
          {"Label2", {form, 16, 156, 265, 19}},
          {"edtAcceVolume", {form, 16, 176, 265, 24}},
          {"PBar", {form, 8, 216, 281, 25}},
          {"GroupBox1", {form, 8, 252, 281, 49}},
          {"rbtnFDDBoot", {"GroupBox1", 8, 16, 105, 25}},
          {"rbtnZIPBoot", {"GroupBox1", 112, 16, 81, 25}},
          {"rbtnHDDBoot", {"GroupBox1", 192, 16, 81, 25}},
          {"btnStart", {form, 48, 312, 73, 25}},
          {"btnClose", {form, 176, 312, 73, 25}}}},
        {"JFormatChkPwdForm", Maker<TJFormatChkPwdForm>(), kMcap ? 219 : 214, 117, true,
         kMcap ? Places{{"labDoc", {form, 24, 16, 172, 19}},
                        {"edtPasswd", {form, 32, 48, 153, 21}},
                        {"btnOK", {form, 8, 80, 65, 25}},
                        {"btnHint", {form, 80, 80, 65, 25}},
                        {"btnCANCEL", {form, 152, 80, 65, 25}}}
               : Places{{"labDoc", {form, 16, 16, 180, 19}},
                        {"edtPasswd", {form, 32, 48, 153, 21}},
                        {"btnOK", {form, 16, 80, 57, 25}},
                        {"btnHINT", {form, 80, 80, 57, 25}},
                        {"btnCANCEL", {form, 144, 80, 57, 25}}}},
        {"ChgDevNameForm", Maker<TChgDevNameForm>(), 338, 117, true,
         {{"grpBoxChgDevName", {form, 16, 8, 305, 65}},
          {"labChgDevNNewDevName", {"grpBoxChgDevName", 8, 24, kMcap ? 120 : 129, 19}},
          {"edtNewDevName", {"grpBoxChgDevName", 136, 24, 161, 24}},
          {"btnChgDevNOK", {form, 32, 80, 105, 25}},
          {"btnChgDevNCancel", {form, 192, 80, 105, 25}}}},
        {"PartitionForm", Maker<TPartitionForm>(), 327, 236, true,
         {{"labTotal", {form, 48, 24, 127, 19}},
          {"labTotalSize", {form, 232, 24, 19, 19}},
          {"labSEQ", {form, 48, 53, 147, 19}},
          {"edtSEQ", {form, 232, 48, 49, 27}},
          {"labMB", {form, 288, 56, 19, 19}},
          {"PBar", {form, 24, 112, 273, 25}},
          {"btnStartParti", {form, 40, 192, 105, 33}},
          {"btnCancelParti", {form, 184, 192, 105, 33}},
          {"labStandard", {form, 48, 80, 152, 19}},
          {"rbtnFDDBoot", {form, 16, 152, 105, 25}},
          {"rbtnHDDBoot", {form, 216, 152, 97, 25}},
          {"labStandardSize", {form, 232, 80, 8, 19}},
          {"rbtnZipBoot", {form, 128, 144, 81, 41}}}},
        {"CopyFileForm", Maker<TCopyFileForm>(), 335, 137, true,
         {{"Label1", {form, 8, 16, 316, 13}},
          {"DriveComboBox1", {form, 72, 48, 185, 22}},
          {"btnOk", {form, 40, 96, 81, 25}},
          {"btnCancel", {form, 200, 96, 81, 25}}}},
        {"JPartitionChkPwdForm", Maker<TJPartitionChkPwdForm>(), kMcap ? 222 : 226, 117, true,
         {{"labDoc", {form, 24, 16, kMcap ? 172 : 177, 19}},
          {"edtPasswd", {form, 32, 48, 153, 21}},
          {"btnOK", {form, 8, 80, 65, 25}},
          {"btnHint", {form, 80, 80, 65, 25}},
          {"btnCANCEL", {form, 152, 80, 65, 25}}}},
    };
}

// Every control of the form, at any depth, by name.
void Collect(const vcl::TWinControl* parent, Places& places) {
    for (const vcl::TControl* control : parent->Controls()) {
        const std::string parentName = parent->Kind() == vcl::ControlKind::Form ? "" : parent->Name();
        places[control->Name()] = {parentName, control->Left(), control->Top(), control->Width(), control->Height()};
        if (control->Kind() != vcl::ControlKind::Label && control->Kind() != vcl::ControlKind::Image) {
            Collect(static_cast<const vcl::TWinControl*>(control), places);
        }
    }
}

class FormGeometryTest : public testing::TestWithParam<FormPin> {};

TEST_P(FormGeometryTest, ClientAreaAndControlsLieWhereTheLayoutTableSays) {
    const FormPin& pin = GetParam();
    const std::unique_ptr<vcl::TForm> form = pin.make();
    EXPECT_EQ(form->Name(), pin.name);
    EXPECT_EQ(form->BorderStyle(), vcl::bsDialog);
    EXPECT_EQ(form->ClientWidth(), pin.clientWidth);
    EXPECT_EQ(form->ClientHeight(), pin.clientHeight);
    if (!pin.positionsGiven) return;

    Places model;
    Collect(form.get(), model);
    if (model.empty()) GTEST_SKIP() << pin.name << " has none of its controls yet";
    for (const auto& [name, place] : pin.controls) {
        const auto found = model.find(name);
        if (found == model.end()) {
            ADD_FAILURE() << pin.name << " has no control " << name;
        } else {
            EXPECT_EQ(found->second, place) << pin.name << "." << name;
        }
    }
    for (const auto& entry : model) {
        EXPECT_EQ(pin.controls.count(entry.first), 1u) << pin.name << " has a control not in its table: " << entry.first;
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, FormGeometryTest, testing::ValuesIn(Pins()),
                         [](const testing::TestParamInfo<FormPin>& param) { return param.param.name; });

}  // namespace
