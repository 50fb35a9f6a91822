// The person's actions: what they do to the controls, and what is refused.
#include "fixture.h"

namespace vcltest {
namespace {

using testing::ElementsAre;

// A form laid out like the utility window: a group box 321 high whose last
// button starts at 328, below its visible part.
class TLayoutForm : public TRecordingForm {
public:
    explicit TLayoutForm(TComponent* owner) : TRecordingForm(owner, "Layout") {
        SetClientWidth(306);
        SetClientHeight(370);
        group = Make<TGroupBox>(this, "group", 8, 0, 289, 321);
        btnInside = Make<TButton>(group, "btnInside", 18, 276, 249, 33);
        btnBelow = Make<TButton>(group, "btnBelow", 18, 328, 249, 33);
        btnPartly = Make<TButton>(group, "btnPartly", 18, 300, 249, 33);
        btnForm = Make<TButton>(this, "btnForm", 232, 336, 65, 25);
        chkPop = Make<TCheckBox>(this, "chkPop", 8, 340, 100, 17);
        edtPwd = Make<TEdit>(this, "edtPwd", 8, 330, 100, 21);
        edtPwd->SetMaxLength(8);
        edtPwd->SetPasswordChar('*');
        for (auto*& radio : radios) radio = Make<TRadioButton>(this, "radio", 120, 330, 50, 20);
        menu = new TPopupMenu(this);
        itemShow = new TMenuItem(this);
        itemShow->SetCaption("Show SECURITY");
        itemExit = new TMenuItem(this);
        itemExit->SetCaption("Exit SECURITY");
        menu->Add(itemShow);
        menu->Add(itemExit);
    }
    template <class Control>
    Control* Make(TWinControl* parent, const std::string& name, int left, int top, int width, int height) {
        auto* control = new Control(this);
        control->SetName(name);
        control->SetParent(parent);
        control->SetBounds(left, top, width, height);
        return control;
    }
    TGroupBox* group;
    TButton *btnInside, *btnBelow, *btnPartly, *btnForm;
    TCheckBox* chkPop;
    TEdit* edtPwd;
    TRadioButton* radios[3];
    TPopupMenu* menu;
    TMenuItem *itemShow, *itemExit;
};

class DriverTest : public FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        Application->Initialize();
        Application->CreateForm(form);
        form->Show();
        form->btnInside->OnClick = [this](TObject*) { clicks.push_back("inside"); };
        form->btnPartly->OnClick = [this](TObject*) { clicks.push_back("partly"); };
        form->btnBelow->OnClick = [this](TObject*) { clicks.push_back("below"); };
        form->btnForm->OnClick = [this](TObject*) { clicks.push_back("form"); };
    }
    TLayoutForm* form = nullptr;
    std::vector<std::string> clicks;
};

TEST_F(DriverTest, AControlBelowTheVisiblePartOfItsGroupCannotBeClicked) {
    EXPECT_TRUE(headless::userClick(form->btnInside));
    EXPECT_TRUE(headless::userClick(form->btnPartly));  // its top 21 pixels show
    EXPECT_FALSE(headless::userClick(form->btnBelow));
    EXPECT_EQ(headless::lastRefusal(), "btnBelow lies outside the visible part of group");
    EXPECT_THAT(clicks, ElementsAre("inside", "partly"));

    // Made taller, the group shows the button.
    form->group->SetHeight(369);
    EXPECT_TRUE(headless::userClick(form->btnBelow));
}

TEST_F(DriverTest, HiddenOrDisabledControlsParentsAndFormsRefuseClicks) {
    form->btnForm->SetEnabled(false);
    EXPECT_FALSE(headless::userClick(form->btnForm));
    EXPECT_EQ(headless::lastRefusal(), "btnForm is disabled");
    form->btnForm->SetEnabled(true);
    form->btnForm->SetVisible(false);
    EXPECT_FALSE(headless::userClick(form->btnForm));
    form->btnForm->SetVisible(true);

    form->group->SetEnabled(false);
    EXPECT_FALSE(headless::userClick(form->btnInside));
    form->group->SetEnabled(true);

    form->SetEnabled(false);
    EXPECT_FALSE(headless::userClick(form->btnForm));
    EXPECT_FALSE(headless::userCloseBox(form));
    form->SetEnabled(true);

    form->Hide();
    EXPECT_FALSE(headless::userClick(form->btnForm));
    EXPECT_FALSE(headless::userCloseBox(form));
    EXPECT_TRUE(clicks.empty());

    form->Show();
    EXPECT_TRUE(headless::userClick(form->btnForm));
    EXPECT_THAT(clicks, ElementsAre("form"));
}

TEST_F(DriverTest, AFormWithoutASystemMenuHasNoCloseBox) {
    form->SetBorderIcons(0);
    EXPECT_FALSE(headless::userCloseBox(form));
    EXPECT_EQ(headless::lastRefusal(), "form Layout has no close box");
    EXPECT_TRUE(form->Visible());
}

TEST_F(DriverTest, TypingStopsAtMaxLengthAndBackspaceRemoves) {
    EXPECT_TRUE(headless::userType(form->edtPwd, "secret"));
    EXPECT_EQ(form->edtPwd->Text(), "secret");
    EXPECT_TRUE(form->edtPwd->Focused());
    EXPECT_FALSE(headless::userType(form->edtPwd, "123"));
    EXPECT_EQ(form->edtPwd->Text(), "secret12");
    EXPECT_TRUE(headless::userType(form->edtPwd, "\b\bxy"));
    EXPECT_EQ(form->edtPwd->Text(), "secretxy");
    // Control characters other than backspace are not inserted.
    EXPECT_TRUE(headless::userType(form->edtPwd, "\b\r\x1b\x7f"));
    EXPECT_EQ(form->edtPwd->Text(), "secretx");
    // Text set from code is not cut.
    form->edtPwd->SetText("longer than eight");
    EXPECT_EQ(form->edtPwd->Text(), "longer than eight");
}

TEST_F(DriverTest, KeyPressSeesEachKeyAndCanSwallowOrChangeIt) {
    std::string seen;
    form->edtPwd->OnKeyPress = [&](TObject* sender, char& key) {
        EXPECT_EQ(sender, form->edtPwd);
        seen.push_back(key);
        if (key == '-') key = 0;
        if (key == 'a') key = 'A';
    };
    std::vector<WORD> released;
    form->edtPwd->OnKeyUp = [&](TObject*, WORD& key, TShiftState) { released.push_back(key); };
    EXPECT_TRUE(headless::userType(form->edtPwd, "a-b1"));
    EXPECT_EQ(seen, "a-b1");
    EXPECT_EQ(form->edtPwd->Text(), "Ab1");
    EXPECT_THAT(released, ElementsAre('A', '-', 'B', '1'));
}

TEST_F(DriverTest, KeyPressRunsForKeysBeyondMaxLength) {
    int presses = 0;
    form->edtPwd->OnKeyPress = [&](TObject*, char&) { ++presses; };
    EXPECT_FALSE(headless::userType(form->edtPwd, "123456789"));
    EXPECT_EQ(presses, 9);
    EXPECT_EQ(form->edtPwd->Text(), "12345678");
}

TEST_F(DriverTest, TheEnterKeyCanHideTheFormAndTheRestOfTheKeysGoNowhere) {
    form->edtPwd->OnKeyPress = [&](TObject*, char& key) {
        if (key == '\r') form->Hide();
    };
    EXPECT_FALSE(headless::userType(form->edtPwd, "ab\rcd"));
    EXPECT_EQ(form->edtPwd->Text(), "ab");
}

TEST_F(DriverTest, DisabledHiddenAndReadOnlyEditsTakeNoKeys) {
    int presses = 0;
    form->edtPwd->OnKeyPress = [&](TObject*, char&) { ++presses; };
    form->edtPwd->SetEnabled(false);
    EXPECT_FALSE(headless::userType(form->edtPwd, "x"));
    form->edtPwd->SetEnabled(true);
    form->edtPwd->SetVisible(false);
    EXPECT_FALSE(headless::userType(form->edtPwd, "x"));
    form->edtPwd->SetVisible(true);
    form->edtPwd->SetReadOnly(true);
    EXPECT_FALSE(headless::userType(form->edtPwd, "x"));
    EXPECT_EQ(presses, 0);
    EXPECT_EQ(form->edtPwd->Text(), "");
}

TEST_F(DriverTest, PastingBypassesTheKeyFilterButNotMaxLength) {
    form->edtPwd->OnKeyPress = [](TObject*, char& key) { key = 0; };
    EXPECT_TRUE(headless::userPaste(form->edtPwd, "  "));
    EXPECT_EQ(form->edtPwd->Text(), "  ");
    EXPECT_FALSE(headless::userPaste(form->edtPwd, "1234567"));
    EXPECT_EQ(form->edtPwd->Text(), "  123456");
}

TEST_F(DriverTest, ACheckBoxClickTogglesAndSettingItFromCodeClicksToo) {
    std::vector<bool> states;
    form->chkPop->OnClick = [&](TObject*) { states.push_back(form->chkPop->Checked()); };
    EXPECT_TRUE(headless::userCheck(form->chkPop));
    EXPECT_TRUE(headless::userCheck(form->chkPop));
    form->chkPop->SetChecked(true);
    form->chkPop->SetChecked(true);  // no change, no click
    EXPECT_THAT(states, ElementsAre(true, false, true));
    EXPECT_FALSE(headless::userCheck(form->edtPwd));
}

TEST_F(DriverTest, RadioButtonsOfOneParentFormOneGroup) {
    int clicksOnFirst = 0;
    form->radios[0]->OnClick = [&](TObject*) { ++clicksOnFirst; };
    form->radios[0]->SetChecked(true);
    EXPECT_EQ(clicksOnFirst, 1);
    EXPECT_TRUE(headless::userClick(form->radios[2]));
    EXPECT_FALSE(form->radios[0]->Checked());
    EXPECT_TRUE(form->radios[2]->Checked());
    // Clearing one from code leaves the group with none, and runs no click.
    form->radios[2]->SetChecked(false);
    EXPECT_FALSE(form->radios[0]->Checked() || form->radios[1]->Checked() || form->radios[2]->Checked());
    // A click on the checked button changes nothing and runs no click.
    EXPECT_TRUE(headless::userClick(form->radios[0]));
    EXPECT_TRUE(headless::userClick(form->radios[0]));
    EXPECT_EQ(clicksOnFirst, 2);
}

TEST_F(DriverTest, ComboSelectionTextAndClearing) {
    TComboBox* combo = form->Make<TComboBox>(form, "combo", 8, 8, 121, 21);
    combo->Items().Add("DISK A");
    combo->Items().Add("DISK B");
    EXPECT_EQ(combo->ItemIndex(), -1);
    combo->SetItemIndex(0);
    EXPECT_EQ(combo->Text(), "DISK A");
    EXPECT_TRUE(headless::userSelect(combo, 1));
    EXPECT_EQ(combo->ItemIndex(), 1);
    EXPECT_EQ(combo->Text(), "DISK B");
    EXPECT_FALSE(headless::userSelect(combo, 2));
    EXPECT_EQ(combo->ItemIndex(), 1);
    combo->Items().Delete(0);
    EXPECT_EQ(combo->ItemIndex(), 0);
    EXPECT_EQ(combo->Text(), "DISK B");
    combo->Clear();
    EXPECT_EQ(combo->ItemIndex(), -1);
    EXPECT_EQ(combo->Text(), "");
    EXPECT_EQ(combo->Items().Count(), 0);
    combo->SetItemIndex(0);  // no items: nothing selected
    EXPECT_EQ(combo->ItemIndex(), -1);
    EXPECT_THROW(combo->Items()[0], EInvalidOperation);
}

TEST_F(DriverTest, AMenuItemCanBePickedOnlyWhileItsMenuIsOpen) {
    int shows = 0;
    form->itemShow->OnClick = [&](TObject*) { ++shows; };
    EXPECT_FALSE(headless::userMenu(form->itemShow));
    EXPECT_EQ(headless::lastRefusal(), "no menu is open");
    form->menu->Popup(640, 480);
    EXPECT_EQ(headless::openMenu(), form->menu);
    EXPECT_EQ(headless::openMenuX(), 640);
    EXPECT_EQ(headless::openMenuY(), 480);
    EXPECT_TRUE(headless::userMenu(form->itemShow));
    EXPECT_EQ(shows, 1);
    EXPECT_EQ(headless::openMenu(), nullptr);
    EXPECT_FALSE(headless::userMenu(form->itemShow));
    form->menu->Popup(1, 1);
    EXPECT_TRUE(headless::userDismissMenu());
    EXPECT_FALSE(headless::userMenu(form->itemExit));
    EXPECT_EQ(shows, 1);
}

TEST_F(DriverTest, ProgressBarPositionStaysWithinItsRange) {
    TProgressBar* bar = form->Make<TProgressBar>(form, "bar", 16, 64, 281, 25);
    bar->SetPosition(50);
    EXPECT_EQ(bar->Position(), 50);
    bar->SetPosition(101);
    EXPECT_EQ(bar->Position(), 100);
    bar->SetPosition(-1);
    EXPECT_EQ(bar->Position(), 0);
}

TEST_F(DriverTest, AMemoHoldsItsLinesAsText) {
    TMemo* memo = form->Make<TMemo>(form, "memo", 0, 0, 100, 100);
    memo->Lines().Add("Your password ");
    memo->Lines().Add("");
    memo->Lines().Add("Warning:");
    EXPECT_EQ(memo->Text(), "Your password \r\n\r\nWarning:");
    memo->SetText("one\r\ntwo");
    EXPECT_EQ(memo->Lines().Count(), 2);
    EXPECT_EQ(memo->Lines()[1], "two");
}

TEST_F(DriverTest, TheDriveListShowsTheSystemsDrivesAndStartsOnC) {
    world().SetLogicalDrives((1u << 0) | (1u << 2) | (1u << 4));
    TDriveComboBox* drives = form->Make<TDriveComboBox>(form, "drives", 72, 48, 185, 22);
    ASSERT_EQ(drives->Items().Count(), 3);
    EXPECT_EQ(drives->Items()[0], "a:");
    EXPECT_EQ(drives->Drive(), 'C');
    EXPECT_TRUE(headless::userSelect(drives, 2));
    EXPECT_EQ(drives->Drive(), 'E');
}

// A message box takes the activation while it is open; as it closes, the
// control that had the focus gets it back, so the keys typed next reach it
// without a click. What happened behind the box decides where they go.
TEST_F(DriverTest, AfterAMessageBoxTheKeysGoToTheControlThatHadTheFocus) {
    const auto box = [] { MessageBoxA(nullptr, "Only letters!", "WARNING", MB_OK | MB_ICONWARNING); };
    form->edtPwd->OnKeyPress = [&](TObject*, char& key) {
        if (key != '!') return;
        key = 0;
        box();
    };
    form->btnForm->OnClick = [&](TObject*) { box(); };
    struct Row {
        const char* what;
        std::function<bool()> opensTheBox;
        std::function<void()> behindTheBox;
        TWinControl* focusAfter;
        std::string refusal;  // of the keys typed after the box; "" when they arrive
        std::function<void()> restore;
    };
    const Row rows[] = {
        {"a key filtered in the edit", [&] { return headless::userType(form->edtPwd, "ab!"); }, [] {}, form->edtPwd,
         "", [] {}},
        {"a button's click", [&] { return headless::userClick(form->btnForm); }, [] {}, form->btnForm,
         "btnForm has the keyboard focus, not an edit", [] {}},
        {"the edit hidden meanwhile", [&] { return headless::userType(form->edtPwd, "!"); },
         [&] { form->edtPwd->Hide(); }, form, "Layout has the keyboard focus, not an edit",
         [&] { form->edtPwd->Show(); }},
        {"the form hidden meanwhile", [&] { return headless::userType(form->edtPwd, "!"); }, [&] { form->Hide(); },
         nullptr, "no window has the keyboard focus", [&] { form->Show(); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        form->edtPwd->Clear();
        world().ClearMessageBoxes();
        TWinControl* focusWhileOpen = form;
        world().SetMessageBoxHook([&](const winsim::MessageBoxCall&) {
            focusWhileOpen = headless::keyboardFocus();
            row.behindTheBox();
        });
        ASSERT_TRUE(row.opensTheBox()) << headless::lastRefusal();
        world().SetMessageBoxHook(nullptr);
        EXPECT_EQ(world().MessageBoxes().size(), 1u);
        EXPECT_EQ(focusWhileOpen, nullptr);
        EXPECT_EQ(headless::keyboardFocus(), row.focusAfter);
        if (row.refusal.empty()) {
            EXPECT_TRUE(headless::userKeys("cd")) << headless::lastRefusal();
            EXPECT_EQ(form->edtPwd->Text(), "abcd");
        } else {
            EXPECT_FALSE(headless::userKeys("cd"));
            EXPECT_EQ(headless::lastRefusal(), row.refusal);
            EXPECT_EQ(form->edtPwd->Text(), "");
        }
        row.restore();
    }
}

TEST_F(DriverTest, TheSaveDialogAsksTheSystemAndKeepsTheChosenName) {
    TSaveDialog dialog(nullptr);
    world().ScriptSaveDialogCancel();
    world().ScriptSaveDialogAnswer("C:\\backup.txt");
    EXPECT_FALSE(dialog.Execute());
    EXPECT_EQ(dialog.FileName(), "");
    EXPECT_TRUE(dialog.Execute());
    EXPECT_EQ(dialog.FileName(), "C:\\backup.txt");
    ASSERT_EQ(world().SaveDialogCalls().size(), 2u);
    EXPECT_EQ(world().SaveDialogCalls()[1].initialName, "");
}

}  // namespace
}  // namespace vcltest
