// The small form framework the application's forms derive from.
//
// One control model: every property a form sets or reads is stored here
// (caption or text, enabled, visible, geometry, font, colour, tab order,
// items, item index, check mark, progress position, ...), and every event a
// form handles is raised here. A backend, chosen when the program is built,
// mirrors the model: vcl/win32/ makes real windows, vcl/headless/ makes none
// and lets tests act on the controls as a person would (vcl/headless/driver.h).
//
// Conventions, close to the framework this imitates:
// - Properties are pairs of getter and setter: Caption() / SetCaption(...).
//   Caption and Text are the same window text of a control.
// - Events are std::function members (OnClick, OnShow, ...). `Handler` binds a
//   form's member function: btnOk->OnClick = Handler(this, &TMainForm::btnOkClick);
// - Components are owned by the component given to their constructor and
//   deleted with it. A control appears inside its parent (SetParent).
// - Event handlers run on the one window thread. An exception that leaves a
//   handler run by the user's action (click, key, close box, menu, tray
//   message) is shown by Application->HandleException and the program goes
//   on; a handler run from code passes its exception to the code that ran it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace vcl {

class TObject;
class TComponent;
class TControl;
class TWinControl;
class TForm;
class TApplication;
class Backend;

// ---------------------------------------------------------------------------
// Exceptions
// ---------------------------------------------------------------------------

// The framework's exception: what the exception box shows is Message().
class Exception : public std::exception {
public:
    explicit Exception(std::string message);
    const std::string& Message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Registry failures of TRegistry ("Failed to get data for '%s'", ...).
class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

// An operation the object's state does not allow (a list index out of
// range, changing a form's visibility from its own show or hide handler).
class EInvalidOperation : public Exception {
public:
    using Exception::Exception;
};

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------

// What a form's close does after OnClose: nothing, or hide (or, for the
// main form, end the program). Forms here are never freed before the end.
enum TCloseAction { caNone, caHide };

using TShiftState = unsigned;  // modifier keys; the driver sends none (0)

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TKeyPressEvent = std::function<void(TObject* Sender, char& Key)>;
using TKeyEvent = std::function<void(TObject* Sender, WORD& Key, TShiftState Shift)>;
using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;

// Binds a member function of `object` as an event handler.
template <class Object, class... Args>
std::function<void(Args...)> Handler(Object* object, void (Object::*method)(Args...)) {
    return [object, method](Args... args) { (object->*method)(std::forward<Args>(args)...); };
}

// A window message as the form's Dispatch sees it.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

// ---------------------------------------------------------------------------
// Colours and fonts
// ---------------------------------------------------------------------------

// An RGB value (0x00BBGGRR) or, with the top bit set, a system colour index.
using TColor = std::uint32_t;
constexpr TColor clSystemColor = 0x80000000u;
constexpr TColor clScrollBar = clSystemColor | 0;    // COLOR_SCROLLBAR
constexpr TColor clWindow = clSystemColor | 5;       // COLOR_WINDOW
constexpr TColor clWindowText = clSystemColor | 8;   // COLOR_WINDOWTEXT
constexpr TColor clBtnFace = clSystemColor | 15;     // COLOR_BTNFACE
constexpr TColor clBlack = 0x000000;
constexpr TColor clRed = 0x0000FF;

enum TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4 };

struct TFont {
    std::string Name = "MS Sans Serif";
    int Height = -11;       // negative: character height in pixels
    unsigned Style = 0;     // TFontStyle bits
    TColor Color = clWindowText;

    bool operator==(const TFont& other) const {
        return Name == other.Name && Height == other.Height && Style == other.Style && Color == other.Color;
    }
    bool operator!=(const TFont& other) const { return !(*this == other); }
};

// ---------------------------------------------------------------------------
// TObject, TComponent
// ---------------------------------------------------------------------------

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner);
    // Deletes the owned components, the last created first.
    ~TComponent() override;

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(const std::string& name) { name_ = name; }

private:
    TComponent* owner_;
    std::string name_;
    std::vector<TComponent*> components_;
};

// ---------------------------------------------------------------------------
// TStrings: the items of a combo box, the lines of a memo
// ---------------------------------------------------------------------------

class TStrings {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    // Raises EInvalidOperation "List index out of bounds (%d)" outside 0..Count-1.
    const std::string& Strings(int index) const;
    const std::string& operator[](int index) const { return Strings(index); }
    int Add(const std::string& text);
    void Delete(int index);
    void Clear();
    int IndexOf(const std::string& text) const;  // exact match, -1 when absent
    // The lines joined with CR LF, each line followed by one.
    std::string Text() const;

private:
    friend class TCustomComboBox;
    friend class TMemo;
    enum class Change { Added, Deleted, Cleared };
    using ChangeHandler = std::function<void(Change change, int index)>;
    explicit TStrings(ChangeHandler changed) : changed_(std::move(changed)) {}
    void Assign(std::vector<std::string> items);
    std::vector<std::string> items_;
    ChangeHandler changed_;
};

// ---------------------------------------------------------------------------
// Controls
// ---------------------------------------------------------------------------

// What a control is, for the backends and the test driver.
enum class ControlKind {
    Form, Button, BitBtn, CheckBox, RadioButton, GroupBox, Label, Edit, Memo,
    ComboBox, DriveComboBox, ProgressBar, Image
};

// The properties whose change the backend mirrors.
enum class Property {
    Parent, Bounds, Text, Visible, Enabled, Font, Color, TabOrder, Items, ItemIndex,
    Checked, Range, Position, MaxLength, PasswordChar, ReadOnly, Style, Focus, Icon
};

class TControl : public TComponent {
public:
    explicit TControl(TComponent* owner);
    ~TControl() override;

    virtual ControlKind Kind() const = 0;

    TWinControl* Parent() const { return parent_; }
    void SetParent(TWinControl* parent);
    // The form this control lies on (itself for a form), or null.
    TForm* ParentForm() const;

    // Position relative to the parent's client area, in pixels.
    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetLeft(int value) { SetBounds(value, top_, width_, height_); }
    void SetTop(int value) { SetBounds(left_, value, width_, height_); }
    void SetWidth(int value) { SetBounds(left_, top_, value, height_); }
    void SetHeight(int value) { SetBounds(left_, top_, width_, value); }
    virtual void SetBounds(int left, int top, int width, int height);

    const std::string& Caption() const { return text_; }
    void SetCaption(const std::string& text) { SetText(text); }
    const std::string& Text() const { return text_; }
    virtual void SetText(const std::string& text);

    bool Visible() const { return visible_; }
    virtual void SetVisible(bool visible);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);

    // The font in effect: the control's own, or its parent's while
    // ParentFont holds (until SetFont gives the control one of its own).
    const TFont& Font() const;
    void SetFont(const TFont& font);
    bool ParentFont() const { return parentFont_; }
    TColor Color() const { return color_; }
    void SetColor(TColor color);

    // The native window handle, or null while there is none (always null
    // for controls of the headless backend but forms and the application).
    HWND Handle() const { return handle_; }

    // Runs OnClick. The driver's clicks and the check boxes' changes call it.
    virtual void Click();
    TNotifyEvent OnClick;

protected:
    // Tells the backend that a property changed.
    void Changed(Property property);
    // Sets Visible without telling anyone (a form's own show logic).
    void SetVisibleFlag(bool visible) { visible_ = visible; }

    std::string text_;
    TColor color_ = clBtnFace;

private:
    friend class Backend;
    friend class TWinControl;
    TWinControl* parent_ = nullptr;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    bool visible_ = true;
    bool enabled_ = true;
    bool parentFont_ = true;
    TFont font_;
    HWND handle_ = nullptr;
};

class TWinControl : public TControl {
public:
    explicit TWinControl(TComponent* owner);
    ~TWinControl() override;

    const std::vector<TControl*>& Controls() const { return controls_; }

    int TabOrder() const { return tabOrder_; }
    void SetTabOrder(int order);
    bool TabStop() const { return tabStop_; }
    void SetTabStop(bool stop) { tabStop_ = stop; }

    // Gives this control the input focus: it becomes its form's ActiveControl.
    void SetFocus();
    bool Focused() const;

    TKeyPressEvent OnKeyPress;
    TKeyEvent OnKeyUp;

private:
    friend class TControl;
    std::vector<TControl*> controls_;
    int tabOrder_ = -1;
    bool tabStop_ = false;
};

class TButton : public TWinControl {
public:
    explicit TButton(TComponent* owner);
    ControlKind Kind() const override { return ControlKind::Button; }
};

// A button that draws itself (owner-draw); it behaves as a TButton.
class TBitBtn : public TButton {
public:
    explicit TBitBtn(TComponent* owner) : TButton(owner) {}
    ControlKind Kind() const override { return ControlKind::BitBtn; }
};

// Setting Checked from code runs OnClick when the state changes, as a click does.
class TCheckBox : public TWinControl {
public:
    explicit TCheckBox(TComponent* owner);
    ControlKind Kind() const override { return ControlKind::CheckBox; }
    bool Checked() const { return checked_; }
    void SetChecked(bool checked);

private:
    bool checked_ = false;
};

// The radio buttons of one parent form one group: checking one clears the
// others. Becoming checked (by code or by a click) runs OnClick.
class TRadioButton : public TWinControl {
public:
    explicit TRadioButton(TComponent* owner);
    ControlKind Kind() const override { return ControlKind::RadioButton; }
    bool Checked() const { return checked_; }
    void SetChecked(bool checked);

private:
    bool checked_ = false;
};

class TGroupBox : public TWinControl {
public:
    explicit TGroupBox(TComponent* owner);
    ControlKind Kind() const override { return ControlKind::GroupBox; }
};

// With AutoSize a label's width follows its text whenever the text changes
// (or AutoSize is set), so a caption set at run time is never cut. The
// backend measures the text in the label's font; a backend that cannot
// measure (headless) leaves the width as it is.
class TLabel : public TControl {
public:
    explicit TLabel(TComponent* owner);
    ControlKind Kind() const override { return ControlKind::Label; }
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool autoSize);
    void SetText(const std::string& text) override;

private:
    void AdjustSize();
    bool autoSize_ = false;
};

class TEdit : public TWinControl {
public:
    explicit TEdit(TComponent* owner);
    ControlKind Kind() const override { return ControlKind::Edit; }
    // The most characters the user can enter; 0 means no limit. Text set
    // from code is not cut.
    int MaxLength() const { return maxLength_; }
    void SetMaxLength(int length);
    // The character shown in place of each typed one; 0 shows the text.
    char PasswordChar() const { return passwordChar_; }
    void SetPasswordChar(char c);
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool readOnly);
    void Clear() { SetText(""); }

private:
    int maxLength_ = 0;
    char passwordChar_ = 0;
    bool readOnly_ = false;
};

class TMemo : public TWinControl {
public:
    explicit TMemo(TComponent* owner);
    ControlKind Kind() const override { return ControlKind::Memo; }
    TStrings& Lines() { return lines_; }
    const TStrings& Lines() const { return lines_; }
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool readOnly);
    // A memo's text is its lines; SetText replaces them.
    void SetText(const std::string& text) override;

private:
    TStrings lines_;
    bool readOnly_ = false;
};

enum TComboBoxStyle { csDropDown, csDropDownList };

class TCustomComboBox : public TWinControl {
public:
    explicit TCustomComboBox(TComponent* owner);
    TStrings& Items() { return items_; }
    const TStrings& Items() const { return items_; }
    // -1: nothing selected. Selecting an item shows its text; an index
    // outside the items selects nothing and empties the text.
    int ItemIndex() const { return itemIndex_; }
    void SetItemIndex(int index);
    // Removes the items and the text.
    void Clear();
    TComboBoxStyle Style() const { return style_; }
    void SetStyle(TComboBoxStyle style);

private:
    void ItemsChanged(TStrings::Change change, int index);
    TStrings items_;
    int itemIndex_ = -1;
    TComboBoxStyle style_ = csDropDown;
};

class TComboBox : public TCustomComboBox {
public:
    explicit TComboBox(TComponent* owner) : TCustomComboBox(owner) {}
    ControlKind Kind() const override { return ControlKind::ComboBox; }
};

// The drives of the system (GetLogicalDrives), one item "x:" each, listed
// when the control is made; it starts on the current drive.
class TDriveComboBox : public TCustomComboBox {
public:
    explicit TDriveComboBox(TComponent* owner);
    ControlKind Kind() const override { return ControlKind::DriveComboBox; }
    // The selected drive letter, upper case; 0 when the system has no drives.
    char Drive() const;
    void SetDrive(char letter);
};

class TProgressBar : public TWinControl {
public:
    explicit TProgressBar(TComponent* owner);
    ControlKind Kind() const override { return ControlKind::ProgressBar; }
    int Min() const { return min_; }
    int Max() const { return max_; }
    void SetMin(int value);
    void SetMax(int value);
    // Kept within Min..Max, as the system's progress bar does.
    int Position() const { return position_; }
    void SetPosition(int value);

private:
    int min_ = 0, max_ = 100, position_ = 0;
};

// An icon loaded from the program's resources by name.
class TIcon {
public:
    HICON Handle() const { return handle_; }
    void LoadFromResourceName(const std::string& name);
    const std::string& ResourceName() const { return resourceName_; }

private:
    HICON handle_ = nullptr;
    std::string resourceName_;
};

class TImage : public TControl {
public:
    explicit TImage(TComponent* owner);
    ControlKind Kind() const override { return ControlKind::Image; }
    TIcon& Icon() { return icon_; }
    const TIcon& Icon() const { return icon_; }

private:
    TIcon icon_;
};

// ---------------------------------------------------------------------------
// Menus and dialogs (non-visual components)
// ---------------------------------------------------------------------------

class TMenuItem : public TComponent {
public:
    explicit TMenuItem(TComponent* owner) : TComponent(owner) {}
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption) { caption_ = caption; }
    void Click();
    TNotifyEvent OnClick;

private:
    std::string caption_;
};

class TPopupMenu : public TComponent {
public:
    explicit TPopupMenu(TComponent* owner) : TComponent(owner) {}
    ~TPopupMenu() override;
    // Appends an item (owned by its own owner, usually the form).
    void Add(TMenuItem* item) { items_.push_back(item); }
    const std::vector<TMenuItem*>& Items() const { return items_; }
    TComponent* PopupComponent() const { return popupComponent_; }
    void SetPopupComponent(TComponent* component) { popupComponent_ = component; }
    // Opens the menu at screen position (x, y). The chosen item's OnClick
    // runs when the user picks it; nothing runs when the menu is dismissed.
    void Popup(int x, int y);

private:
    std::vector<TMenuItem*> items_;
    TComponent* popupComponent_ = nullptr;
};

class TSaveDialog : public TComponent {
public:
    explicit TSaveDialog(TComponent* owner) : TComponent(owner) {}
    const std::string& Filter() const { return filter_; }
    void SetFilter(const std::string& filter) { filter_ = filter; }
    const std::string& DefaultExt() const { return defaultExt_; }
    void SetDefaultExt(const std::string& ext) { defaultExt_ = ext; }
    const std::string& FileName() const { return fileName_; }
    void SetFileName(const std::string& name) { fileName_ = name; }
    // Asks the user for a file name; true with FileName set when a name was
    // chosen, false when the user cancelled.
    bool Execute();

private:
    std::string filter_, defaultExt_, fileName_;
};

// ---------------------------------------------------------------------------
// TForm
// ---------------------------------------------------------------------------

enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog };
enum TBorderIcon : unsigned { biSystemMenu = 1, biMinimize = 2, biMaximize = 4 };
enum TFormStyle { fsNormal, fsStayOnTop };

// A top-level window. It is created hidden; its native window exists from
// the end of its creation (TApplication::CreateForm) to its destruction.
class TForm : public TWinControl {
public:
    explicit TForm(TComponent* owner);
    ~TForm() override;
    ControlKind Kind() const override { return ControlKind::Form; }

    // The client area; the outer Width and Height follow from it and the
    // frame of the border style. A client size once set is kept when the
    // border style or icons change afterwards (the outer size follows).
    int ClientWidth() const;
    int ClientHeight() const;
    void SetClientWidth(int width);
    void SetClientHeight(int height);

    TFormBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TFormBorderStyle style);
    // The icons of the title bar, shown as set with every border but bsNone.
    // A form starts with the system menu (and so the close box) alone: the
    // forms here are dialogs, which add a minimise box where they have one.
    unsigned BorderIcons() const { return borderIcons_; }
    void SetBorderIcons(unsigned icons);
    // Changing to or from fsStayOnTop re-creates the native window, so the
    // form's Handle changes.
    TFormStyle FormStyle() const { return formStyle_; }
    void SetFormStyle(TFormStyle style);

    TWinControl* ActiveControl() const { return activeControl_; }
    void SetActiveControl(TWinControl* control);

    // Becoming visible runs OnShow, becoming hidden runs OnHide, once per
    // change. Changing Visible from this form's own OnShow or OnHide raises
    // EInvalidOperation.
    void SetVisible(bool visible) override;
    // Makes the form visible and brings it in front of the other windows.
    void Show();
    // The close box: OnClose with the action caHide; then, unless the
    // handler chose caNone, the main form's close terminates the
    // application and any other form hides.
    void Close();
    void BringToFront();
    // Top = (screen height - Height) / 2, then Left = (screen width - Width) / 2,
    // with the primary screen's size (GetSystemMetrics) and each half
    // truncated toward zero.
    void CentreOnScreen();

    // The form's message dispatch. A form may override it; what it does not
    // handle it passes on to TForm::Dispatch, the framework's handling
    // (close box, control notifications, owner-drawn buttons, system default).
    virtual void Dispatch(TMessage& message);

    TNotifyEvent OnCreate;
    TNotifyEvent OnShow;
    TNotifyEvent OnHide;
    TCloseEvent OnClose;
    TNotifyEvent OnDestroy;

private:
    friend class TApplication;
    friend class Backend;
    void CreateHandle();  // makes the native window of the form and its controls
    void DoCreate();      // OnCreate; an exception goes to the exception box
    void DoDestroy();     // OnDestroy; likewise
    void FrameChanged();  // keeps a client size that was set
    // The system gives an activated window the focus itself (after a message
    // box of no owner, say), where no key reaches a control. As in a dialog,
    // the control that had the focus when the window lost the activation
    // takes it back. The backends tell a form both changes: `focused` is the
    // control of this form that had the focus, or null. Activated returns
    // whether a control took the focus.
    void Deactivated(TWinControl* focused);
    bool Activated();
    int clientWidth_ = -1, clientHeight_ = -1;  // -1: follows the outer size
    TFormBorderStyle borderStyle_ = bsSizeable;
    unsigned borderIcons_ = biSystemMenu;
    TFormStyle formStyle_ = fsNormal;
    TWinControl* activeControl_ = nullptr;
    bool inShowHide_ = false;
};

// ---------------------------------------------------------------------------
// TApplication
// ---------------------------------------------------------------------------

class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    // Makes the application's hidden top-level window, whose caption is Title.
    void Initialize();
    const std::string& Title() const { return title_; }
    void SetTitle(const std::string& title);
    HWND Handle() const { return handle_; }

    // Creates a form of class Form (constructor Form(TComponent* owner)),
    // stores it in `reference`, makes its window and runs its OnCreate. The
    // first form created is the main form.
    template <class Form>
    void CreateForm(Form*& reference) {
        Form* form = new Form(this);
        reference = form;
        AddForm(form);
    }
    TForm* MainForm() const { return mainForm_; }
    const std::vector<TForm*>& Forms() const { return forms_; }

    // Runs the message loop until Terminate; then destroys the forms, the
    // last created first (OnDestroy runs for each), and returns.
    //
    // Headless build: there are no system messages, so Run processes the
    // work pending now (ProcessMessages) and returns as soon as nothing is
    // pending, leaving the program's state to the test driver, which acts
    // and then lets the loop go on (vcl/headless/driver.h). Once the
    // application is terminated the forms are destroyed at the next point
    // where no handler is running, exactly as after the loop's end.
    void Run();
    // Handles the messages pending now (headless: the work the driver posted).
    void ProcessMessages();
    // Tells the message loop to end.
    void Terminate();
    bool Terminated() const { return terminated_; }

    // Shows the exception being handled (call it inside a catch block): a
    // framework Exception with its message, any other with an empty one.
    void HandleException();
    // The exception box: MessageBoxA with the message, caption Title, an OK
    // button and the error icon (MB_ICONERROR), no owner window.
    void ShowException(const Exception& exception);

    // Runs `action` as the loop runs a handler: an exception it raises is
    // shown by HandleException and does not pass on.
    void RunHandler(const std::function<void()>& action);

    // Destroys every form (the last created first) and the application's
    // window. Run does this when the loop ends.
    void DestroyForms();

private:
    void AddForm(TForm* form);
    std::string title_;
    HWND handle_ = nullptr;
    TForm* mainForm_ = nullptr;
    std::vector<TForm*> forms_;
    bool terminated_ = false;
};

// The application object of the program.
extern TApplication* Application;

// ---------------------------------------------------------------------------
// TRegistry
// ---------------------------------------------------------------------------

// One open registry key at a time, under RootKey (default HKEY_CURRENT_USER),
// opened with Access (default KEY_ALL_ACCESS).
class TRegistry : public TObject {
public:
    TRegistry();
    explicit TRegistry(REGSAM access);
    ~TRegistry() override;  // closes the open key

    HKEY RootKey() const { return rootKey_; }
    void SetRootKey(HKEY key);  // closes the open key
    REGSAM Access() const { return access_; }
    void SetAccess(REGSAM access) { access_ = access; }
    HKEY CurrentKey() const { return currentKey_; }

    // Opens `key` (relative to the open key, or to RootKey when it starts
    // with a backslash or no key is open); creates it when canCreate. False
    // when it cannot be opened (or created).
    bool OpenKey(const std::string& key, bool canCreate);
    void CloseKey();

    // Raises ERegistryException "Failed to get data for '<name>'" when the
    // value cannot be read, "Invalid data type for '<name>'" when it is not
    // a REG_DWORD.
    int ReadInteger(const std::string& name);
    // Raises ERegistryException "Failed to set data for '<name>'" on failure.
    void WriteInteger(const std::string& name, int value);

private:
    HKEY rootKey_;
    REGSAM access_;
    HKEY currentKey_ = nullptr;
};

// A control of `form`, named and placed on `parent` (the form itself or a
// group box of it) at the given position and size: how the forms lay
// themselves out, as their form resources would.
template <class Control>
Control* PlaceControl(TForm* form, TWinControl* parent, const char* name, int left, int top, int width, int height) {
    Control* control = new Control(form);
    control->SetName(name);
    control->SetParent(parent);
    control->SetBounds(left, top, width, height);
    return control;
}

}  // namespace vcl
