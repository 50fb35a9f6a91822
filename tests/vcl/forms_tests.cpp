// Forms: their lifetime, showing and hiding, closing, centring, the
// application's windows as the system sees them, and the exception box.
#include "fixture.h"

namespace vcltest {
namespace {

using testing::ElementsAre;

TEST_F(FrameworkTest, FormsAreCreatedHiddenAndTheFirstIsTheMainForm) {
    StartProgram();
    EXPECT_EQ(Application->MainForm(), mainForm);
    EXPECT_FALSE(mainForm->Visible());
    EXPECT_FALSE(dialogForm->Visible());
    EXPECT_THAT(Events(), ElementsAre("Main.Create", "Dialog.Create"));
}

TEST_F(FrameworkTest, ShowAndHideRunTheirHandlersOncePerChange) {
    StartProgram();
    Events().clear();
    dialogForm->SetVisible(true);
    dialogForm->SetVisible(true);
    dialogForm->Show();
    dialogForm->SetVisible(false);
    dialogForm->Hide();
    dialogForm->Show();
    EXPECT_THAT(Events(), ElementsAre("Dialog.Show", "Dialog.Hide", "Dialog.Show"));
}

TEST_F(FrameworkTest, OnShowRunsWhileTheFormCountsAsVisible) {
    StartProgram();
    bool visibleInShow = false;
    dialogForm->OnShow = [&](TObject*) { visibleInShow = dialogForm->Visible(); };
    dialogForm->Show();
    EXPECT_TRUE(visibleInShow);
}

TEST_F(FrameworkTest, HidingAFormFromItsOwnShowHandlerIsRefusedWithTheExceptionBox) {
    StartProgram();
    dialogForm->OnShow = [&](TObject*) { dialogForm->Hide(); };
    dialogForm->Show();
    EXPECT_TRUE(dialogForm->Visible());
    ASSERT_EQ(world().MessageBoxes().size(), 1u);
    EXPECT_EQ(world().MessageBoxes()[0].text, "Cannot change Visible in OnShow or OnHide");
}

TEST_F(FrameworkTest, AFormShownAgainKeepsItsMembersAndControls) {
    StartProgram();
    dialogForm->Show();
    dialogForm->DeviceName = "DISK A";
    dialogForm->cboxList->Items().Add("first");
    ASSERT_TRUE(headless::userType(dialogForm->edtName, "abc"));
    TDialogForm* const before = dialogForm;
    ASSERT_TRUE(headless::userCloseBox(dialogForm));
    EXPECT_FALSE(dialogForm->Visible());
    dialogForm->Show();
    EXPECT_EQ(dialogForm, before);
    EXPECT_EQ(dialogForm->DeviceName, "DISK A");
    EXPECT_EQ(dialogForm->edtName->Text(), "abc");
    EXPECT_EQ(dialogForm->cboxList->Items().Count(), 1);
}

TEST_F(FrameworkTest, ClosingTheMainFormEndsTheProgramAndDestroysTheFormsLastFirst) {
    StartProgram();
    mainForm->Show();
    dialogForm->Show();
    Events().clear();
    ASSERT_TRUE(headless::userCloseBox(mainForm));
    EXPECT_TRUE(Application->Terminated());
    EXPECT_TRUE(headless::programEnded());
    EXPECT_THAT(Events(), ElementsAre("Main.Close", "Dialog.Destroy", "Main.Destroy"));
    EXPECT_TRUE(world().TopLevelWindows().empty());
    EXPECT_EQ(Application->MainForm(), nullptr);
}

TEST_F(FrameworkTest, ClosingAnotherFormHidesItAndTheProgramGoesOn) {
    StartProgram();
    mainForm->Show();
    dialogForm->Show();
    Events().clear();
    ASSERT_TRUE(headless::userCloseBox(dialogForm));
    EXPECT_THAT(Events(), ElementsAre("Dialog.Close", "Dialog.Hide"));
    EXPECT_FALSE(Application->Terminated());
    EXPECT_TRUE(mainForm->Visible());
}

TEST_F(FrameworkTest, ACloseHandlerCanKeepTheFormOpen) {
    StartProgram();
    mainForm->Show();
    mainForm->OnClose = [](TObject*, TCloseAction& action) { action = caNone; };
    ASSERT_TRUE(headless::userCloseBox(mainForm));
    EXPECT_FALSE(Application->Terminated());
    EXPECT_TRUE(mainForm->Visible());
}

TEST_F(FrameworkTest, TerminateEndsTheProgramOnlyAfterTheRunningHandler) {
    StartProgram();
    mainForm->Show();
    bool formStillThere = false;
    mainForm->btnOk->OnClick = [&](TObject*) {
        Application->Terminate();
        formStillThere = !Application->Forms().empty();
    };
    ASSERT_TRUE(headless::userClick(mainForm->btnOk));
    EXPECT_TRUE(formStillThere);
    EXPECT_TRUE(headless::programEnded());
}

TEST_F(FrameworkTest, RunReturnsWhenIdleAndEndsTheProgramOnceTerminated) {
    StartProgram();
    mainForm->Show();
    Application->Run();
    EXPECT_FALSE(headless::programEnded());
    EXPECT_EQ(Application->Forms().size(), 2u);
    Application->Terminate();
    Application->Run();
    EXPECT_TRUE(headless::programEnded());
}

TEST_F(FrameworkTest, ClientSizeGivesTheOuterSizeOfADialogFrame) {
    StartProgram();
    EXPECT_EQ(mainForm->ClientWidth(), 306);
    EXPECT_EQ(mainForm->ClientHeight(), 370);
    EXPECT_EQ(mainForm->Width(), 312);
    EXPECT_EQ(mainForm->Height(), 395);
    // The client size stays when the border style changes afterwards.
    mainForm->SetBorderStyle(bsSizeable);
    EXPECT_EQ(mainForm->ClientWidth(), 306);
    EXPECT_EQ(mainForm->ClientHeight(), 370);
}

TEST_F(FrameworkTest, CentringUsesTheOuterSizeAndTruncatesEachHalfTowardZero) {
    StartProgram();
    world().SetScreenSize(1024, 768);
    mainForm->CentreOnScreen();
    EXPECT_EQ(mainForm->Left(), (1024 - 312) / 2);
    EXPECT_EQ(mainForm->Top(), 186);  // (768 - 395) / 2 = 186.5
    // Larger than the screen: -100.5 becomes -100, not -101.
    mainForm->SetBounds(0, 0, 1001, 869);
    world().SetScreenSize(800, 600);
    mainForm->CentreOnScreen();
    EXPECT_EQ(mainForm->Left(), -100);
    EXPECT_EQ(mainForm->Top(), -134);
}

TEST_F(FrameworkTest, TheApplicationWindowCarriesTheTitleAndStaysHidden) {
    Application->Initialize();
    Application->SetTitle("KT4790CAP");
    const HWND found = FindWindowA(nullptr, "KT4790CAP");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found, Application->Handle());
    auto window = world().FindTopLevelWindow(reinterpret_cast<std::uintptr_t>(found));
    ASSERT_TRUE(window.has_value());
    EXPECT_FALSE(window->visible);

    // Also while every form is hidden, and until the program ends.
    Application->CreateForm(mainForm);
    EXPECT_EQ(FindWindowA(nullptr, "KT4790CAP"), found);
    Application->Terminate();
    Application->Run();
    EXPECT_EQ(FindWindowA(nullptr, "KT4790CAP"), nullptr);
}

TEST_F(FrameworkTest, FormsAreTopLevelWindowsWithTheirCaptionAndVisibility) {
    StartProgram();
    const auto handle = reinterpret_cast<std::uintptr_t>(dialogForm->Handle());
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(FindWindowA(nullptr, "Dialog"), dialogForm->Handle());
    EXPECT_FALSE(world().FindTopLevelWindow(handle)->visible);
    dialogForm->Show();
    EXPECT_TRUE(world().FindTopLevelWindow(handle)->visible);
    dialogForm->SetCaption("Renamed");
    EXPECT_EQ(world().FindTopLevelWindow(handle)->title, "Renamed");
    EXPECT_EQ(FindWindowA(nullptr, "Dialog"), nullptr);
}

TEST_F(FrameworkTest, LeavingStayOnTopMakesANewWindowAndTheOldHandleIsGone) {
    StartProgram();
    mainForm->SetFormStyle(fsStayOnTop);
    mainForm->Show();
    const HWND before = mainForm->Handle();
    mainForm->SetFormStyle(fsNormal);
    const HWND after = mainForm->Handle();
    EXPECT_NE(after, before);
    EXPECT_EQ(headless::findForm(before), nullptr);
    EXPECT_EQ(headless::findForm(after), mainForm);
    EXPECT_FALSE(world().FindTopLevelWindow(reinterpret_cast<std::uintptr_t>(before)).has_value());
    auto window = world().FindTopLevelWindow(reinterpret_cast<std::uintptr_t>(after));
    ASSERT_TRUE(window.has_value());
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->title, "Main window");
    // A message for the old handle reaches nobody.
    EXPECT_FALSE(headless::sendMessage(before, WM_APP + 100, 1006, WM_LBUTTONDBLCLK));
}

// A form that takes one message itself and passes the rest on.
class TDispatchingForm : public TRecordingForm {
public:
    explicit TDispatchingForm(TComponent* owner) : TRecordingForm(owner, "Dispatching") {}
    void Dispatch(TMessage& message) override {
        if (message.Msg == WM_APP + 100) {
            lParams.push_back(message.LParam);
            return;
        }
        TForm::Dispatch(message);
    }
    std::vector<LPARAM> lParams;
};

TEST_F(FrameworkTest, MessagesGoThroughTheFormsDispatchAndTheRestToTheFramework) {
    TDispatchingForm* form = nullptr;
    Application->CreateForm(form);
    form->Show();
    EXPECT_TRUE(headless::sendMessage(form->Handle(), WM_APP + 100, 1006, WM_RBUTTONUP));
    EXPECT_THAT(form->lParams, ElementsAre(static_cast<LPARAM>(WM_RBUTTONUP)));
    // The close box passes through Dispatch to the framework's handling.
    ASSERT_TRUE(headless::userCloseBox(form));
    EXPECT_TRUE(headless::programEnded());
}

TEST_F(FrameworkTest, AnExceptionInAHandlerIsShownAndTheProgramGoesOn) {
    StartProgram();
    mainForm->Show();
    int clicks = 0;
    mainForm->btnOk->OnClick = [&](TObject*) {
        ++clicks;
        throw ERegistryException("Failed to get data for 'Pop'");
    };
    ASSERT_TRUE(headless::userClick(mainForm->btnOk));
    ASSERT_TRUE(headless::userClick(mainForm->btnOk));
    EXPECT_EQ(clicks, 2);
    ASSERT_EQ(world().MessageBoxes().size(), 2u);
    const auto& box = world().MessageBoxes()[0];
    EXPECT_EQ(box.text, "Failed to get data for 'Pop'");
    EXPECT_EQ(box.caption, "KT4790CAP");
    EXPECT_EQ(box.icon(), static_cast<std::uint32_t>(MB_ICONERROR));
    EXPECT_EQ(box.buttons(), static_cast<std::uint32_t>(MB_OK));
    EXPECT_EQ(box.owner, 0u);
    EXPECT_FALSE(Application->Terminated());
}

TEST_F(FrameworkTest, AnExceptionOfAnotherKindIsShownWithAnEmptyMessage) {
    StartProgram();
    mainForm->Show();
    mainForm->btnOk->OnClick = [](TObject*) { throw 42; };
    ASSERT_TRUE(headless::userClick(mainForm->btnOk));
    ASSERT_EQ(world().MessageBoxes().size(), 1u);
    EXPECT_EQ(world().MessageBoxes()[0].text, "");
    EXPECT_EQ(world().MessageBoxes()[0].caption, "KT4790CAP");
}

// A create handler that sets a check mark from code: the box's click
// handler raises, so the rest of the create handler is skipped, the
// exception box shows, and the next form is still created.
class TCheckingForm : public TRecordingForm {
public:
    explicit TCheckingForm(TComponent* owner) : TRecordingForm(owner, "Checking") {
        chkPop = new TCheckBox(this);
        chkPop->SetParent(this);
        chkPop->OnClick = [](TObject*) { throw ERegistryException("Invalid data type for 'Pop'"); };
        OnCreate = [this](TObject*) {
            Events().push_back("Checking.Create");
            chkPop->SetChecked(true);
            Events().push_back("Checking.CreateEnd");
        };
    }
    TCheckBox* chkPop;
};

TEST_F(FrameworkTest, AnExceptionInACreateHandlerSkipsItsRestAndCreationGoesOn) {
    Application->Initialize();
    Application->SetTitle("KT4790MCAP");
    TCheckingForm* checking = nullptr;
    Application->CreateForm(checking);
    Application->CreateForm(dialogForm);
    EXPECT_THAT(Events(), ElementsAre("Checking.Create", "Dialog.Create"));
    EXPECT_TRUE(checking->chkPop->Checked());
    ASSERT_EQ(world().MessageBoxes().size(), 1u);
    EXPECT_EQ(world().MessageBoxes()[0].text, "Invalid data type for 'Pop'");
    EXPECT_EQ(world().MessageBoxes()[0].caption, "KT4790MCAP");
}

TEST_F(FrameworkTest, WorkPostedDuringALongHandlerRunsWhenItProcessesMessages) {
    StartProgram();
    mainForm->Show();
    dialogForm->Show();
    std::vector<std::string> steps;
    mainForm->btnOk->OnClick = [&](TObject*) {
        for (int block = 0; block < 3; ++block) {
            steps.push_back("block " + std::to_string(block));
            Application->ProcessMessages();
        }
    };
    // The person closes the dialog while the long operation runs.
    headless::post([&] {
        steps.push_back("close box");
        EXPECT_TRUE(headless::userCloseBox(dialogForm));
    });
    ASSERT_TRUE(headless::userClick(mainForm->btnOk));
    EXPECT_THAT(steps, ElementsAre("block 0", "close box", "block 1", "block 2"));
    EXPECT_FALSE(dialogForm->Visible());
}

}  // namespace
}  // namespace vcltest
