// The per-operation binding of the device library: for every operation, its
// procedures in their binding order, the message for each one missing, the
// library-missing and device-not-found messages; and that every failure
// leaves nothing loaded or open and sends nothing. Then each handler pressed
// as a person would: the names it asks of GetProcAddress are its operation's,
// in that order.
#include "erase_dialogs.h"

#include <algorithm>
#include <functional>

#include "app/Chgdevname.h"
#include "app/Chgpwd.h"
#include "app/Chkpwd.h"
#include "app/Clearpwd.h"
#include "app/Fchkpwd.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/Pchkpwd.h"
#include "app/Setpwd.h"
#include "app/devbind.h"
#include "format/Dformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"

namespace apptest {
namespace {

using devbind::Operation;
using devbind::ProcIndex;
using namespace devbind;  // the ProcIndex names
// Not the operation codes of the same names (erase_dialogs.h).
using devbind::kEraseBlock;
using devbind::kGetPhyBlock;
using devbind::kSetEString;

enum class Kind { LW, LE, FW, None };

struct Name {
    ProcIndex proc;
    Kind missing;  // the message when this procedure does not resolve
};

struct OperationCase {
    const char* label;
    Operation operation;
    const char* libraryMissing;
    const char* notFound;  // nullptr: the operation does not search a device
    std::vector<Name> order;
};

void PrintTo(const OperationCase& c, std::ostream* out) { *out << c.label; }

constexpr const char* kNotFound = "Can't find the device, please check the device!";
constexpr const char* kNotFoundReplug =
    "Can't find the device, please check the device and try to unplug and replug the device.";
constexpr const char* kCheckDevice = "Please check the device!";

#ifdef KT4790_ASPI
constexpr const char* kLib = "Can't load the KT4790mDLL.";
constexpr const char* kLibHint = "Can't load the KT4790mDLL!";
const std::vector<OperationCase> kCases = {
    {"MainDeviceList", Operation::MainDeviceList, kLib, nullptr, {{kGetAllDeviceName, Kind::LE}}},
    {"MainOk", Operation::MainOk, kLib, kNotFound, {{kGetDeviceID, Kind::LW}, {kCheckPwd, Kind::LW}}},
    {"HintButton", Operation::HintButton, kLibHint, kNotFound,
     {{kGetDeviceID, Kind::LW}, {kGetChipVersion, Kind::LW}, {kPwdExist, Kind::LW}, {kGetMediaSize, Kind::LW},
      {kVSCReadSector, Kind::LW}}},
    {"UtilityDeviceList", Operation::UtilityDeviceList, kLib, nullptr, {{kGetAllDeviceName, Kind::LE}}},
    {"SetCheckOpener", Operation::PasswordOpener, kLib, kNotFoundReplug,
     {{kPwdExist, Kind::LE}, {kGetMediaSize, Kind::LE}, {kGetChipVersion, Kind::LE}, {kVSCReadSector, Kind::LE},
      {kGetDeviceID, Kind::LW}}},
    {"ChangeOpener", Operation::PasswordOpener, kLib, kNotFoundReplug,
     {{kPwdExist, Kind::LE}, {kVSCReadSector, Kind::LE}, {kGetMediaSize, Kind::LE}, {kGetChipVersion, Kind::LE},
      {kGetDeviceID, Kind::LW}}},
    {"FormatOpener", Operation::FormatOpener, kLib, kNotFoundReplug,
     {{kGetDeviceID, Kind::LW}, {kPwdExist, Kind::LE}, {kGetChipVersion, Kind::LE}, {kGetMediaSize, Kind::LE},
      {kVSCReadSector, Kind::LE}}},
    {"PartitionOpener", Operation::FormatOpener, kLib, kNotFoundReplug,
     {{kGetDeviceID, Kind::LW}, {kPwdExist, Kind::LE}, {kGetMediaSize, Kind::LE}}},
    {"ChangeDeviceNameOk", Operation::ChangeDeviceNameOk, kLib, kNotFound,
     {{kGetDeviceID, Kind::LE}, {kGetChipVersion, Kind::LE}, {kVSCReadSector, Kind::LE}, {kSetEString, Kind::LE},
      {kGetMediaSize, Kind::LE}}},
    {"FormatGateOk", Operation::FormatGateOk, kLib, kNotFound,
     {{kGetDeviceID, Kind::LW}, {kCheckPwd, Kind::LW}, {kGetMediaSize, Kind::LE}, {kVSCReadSector, Kind::LE}}},
    {"PartitionGateOk", Operation::PartitionGateOk, kLib, kNotFound,
     {{kGetDeviceID, Kind::LW}, {kCheckPwd, Kind::LW}}},
    {"CheckPwdOk", Operation::CheckPwdOk, kLib, kNotFound, {{kGetDeviceID, Kind::LW}, {kCheckPwd, Kind::LW}}},
    {"SetPwdOk", Operation::SetPwdOk, kLib, "Can't find the device. Please check the device!",
     {{kGetDeviceID, Kind::LW}, {kChangePwd, Kind::LW}, {kGetChipVersion, Kind::LW}, {kSetEString, Kind::LW},
      {kGetMediaSize, Kind::LW}, {kVSCReadSector, Kind::LW}}},
    {"ChangePwdOk", Operation::ChangePwdOk, kLib, kNotFound,
     {{kGetDeviceID, Kind::FW}, {kGetChipVersion, Kind::FW}, {kGetMediaSize, Kind::FW}, {kVSCReadSector, Kind::FW},
      {kSetEString, Kind::FW}, {kChangePwd, Kind::FW}}},
    {"ClearPwdOk", Operation::ClearPwdOk, kLib, kNotFound,
     {{kGetDeviceID, Kind::LW}, {kChangePwd, Kind::FW}, {kSetEString, Kind::FW}, {kGetChipVersion, Kind::FW},
      {kGetMediaSize, Kind::FW}, {kVSCReadSector, Kind::FW}}},
    {"SingleFormatStart", Operation::SingleFormatStart, kLib, kNotFound,
     {{kGetChipVersion, Kind::LW}, {kSetEString, Kind::LW}, {kGetPhyBlock, Kind::LW}, {kGetDeviceID, Kind::LW},
      {kGetMediaSize, Kind::LE}, {kVSCReadSector, Kind::LE}, {kVSCWriteSector, Kind::LE}, {kEraseBlock, Kind::LE},
      {kWriteProtect, Kind::LE}}},
    {"PartitionStart", Operation::PartitionStart, kLib, kNotFound,
     {{kSetEString, Kind::LW}, {kGetChipVersion, Kind::LW}, {kGetDeviceID, Kind::LW}, {kGetMediaSize, Kind::LE},
      {kGetPhyBlock, Kind::LE}, {kVSCReadSector, Kind::LE}, {kVSCWriteSector, Kind::LE}, {kEraseBlock, Kind::LE},
      {kWriteProtect, Kind::LE}}},
    {"FormatterOpen", Operation::FormatterOpen, kLib, kCheckDevice,
     {{kGetDeviceID, Kind::LW}, {kVSCWriteSector, Kind::LE}}},
    {"TwoAreaLoad", Operation::TwoAreaLoad, kLib, kNotFound,
     {{kGetDeviceID, Kind::None}, {kGetChipVersion, Kind::None}, {kSetEString, Kind::None},
      {kGetMediaSize, Kind::None}, {kVSCReadSector, Kind::None}, {kVSCWriteSector, Kind::None},
      {kEraseBlock, Kind::None}, {kGetPhyBlock, Kind::None}, {kWriteProtect, Kind::None}}},
};
#else
constexpr const char* kLib = "Can't load the KT4790DLL.";
constexpr const char* kLibMain = "Can't load the KT4790DLL!";
const std::vector<OperationCase> kCases = {
    {"MainDeviceList", Operation::MainDeviceList, kLibMain, nullptr, {{kGetAllDeviceName, Kind::LE}}},
    {"MainOk", Operation::MainOk, kLibMain, kNotFound, {{kGetHandle, Kind::LW}, {kCheckPwd, Kind::LW}}},
    {"HintButton", Operation::HintButton, kLibMain, kNotFound,
     {{kGetHandle, Kind::LW}, {kGetChipVersion, Kind::LW}, {kPwdExist, Kind::LW}, {kGetMediaSize, Kind::LW},
      {kVSCReadSector, Kind::LW}}},
    {"UtilityDeviceList", Operation::UtilityDeviceList, kLib, nullptr, {{kGetAllDeviceName, Kind::LE}}},
    {"SetCheckOpener", Operation::PasswordOpener, kLib, kNotFoundReplug,
     {{kPwdExist, Kind::LE}, {kGetChipVersion, Kind::LE}, {kGetMediaSize, Kind::LE}, {kVSCReadSector, Kind::LE},
      {kGetHandle, Kind::LW}}},
    {"ChangeOpener", Operation::PasswordOpener, kLib, kNotFoundReplug,
     {{kPwdExist, Kind::LE}, {kGetChipVersion, Kind::LE}, {kGetMediaSize, Kind::LE}, {kVSCReadSector, Kind::LE},
      {kGetHandle, Kind::LW}}},
    {"FormatOpener", Operation::FormatOpener, kLib, kNotFoundReplug,
     {{kGetHandle, Kind::LW}, {kPwdExist, Kind::LE}, {kGetMediaSize, Kind::LE}, {kVSCReadSector, Kind::LE},
      {kGetChipVersion, Kind::LE}}},
    {"PartitionOpener", Operation::FormatOpener, kLib, kNotFoundReplug,
     {{kGetHandle, Kind::LW}, {kPwdExist, Kind::LE}, {kGetMediaSize, Kind::LE}, {kGetChipVersion, Kind::LE}}},
    {"ChangeDeviceNameOk", Operation::ChangeDeviceNameOk, kLib, kNotFound,
     {{kGetHandle, Kind::LE}, {kVSCReadSector, Kind::LE}, {kSetEString, Kind::LE}, {kGetMediaSize, Kind::LE},
      {kGetChipVersion, Kind::LE}}},
    {"FormatGateOk", Operation::FormatGateOk, kLib, kNotFound,
     {{kGetHandle, Kind::LW}, {kCheckPwd, Kind::LW}, {kGetMediaSize, Kind::LE}, {kVSCReadSector, Kind::LE}}},
    {"PartitionGateOk", Operation::PartitionGateOk, kLib, kNotFound, {{kGetHandle, Kind::LW}, {kCheckPwd, Kind::LW}}},
    {"CheckPwdOk", Operation::CheckPwdOk, kLib, kCheckDevice, {{kGetHandle, Kind::FW}, {kCheckPwd, Kind::FW}}},
    {"SetPwdOk", Operation::SetPwdOk, kLib, kNotFound,
     {{kGetHandle, Kind::FW}, {kChangePwd, Kind::FW}, {kGetChipVersion, Kind::FW}, {kSetEString, Kind::FW},
      {kGetMediaSize, Kind::FW}, {kVSCReadSector, Kind::FW}}},
    {"ChangePwdOk", Operation::ChangePwdOk, kLib, kNotFound,
     {{kGetHandle, Kind::FW}, {kGetChipVersion, Kind::FW}, {kGetMediaSize, Kind::FW}, {kVSCReadSector, Kind::FW},
      {kSetEString, Kind::FW}, {kChangePwd, Kind::FW}}},
    {"ClearPwdOk", Operation::ClearPwdOk, kLib, kNotFound,
     {{kGetHandle, Kind::FW}, {kChangePwd, Kind::FW}, {kGetChipVersion, Kind::FW}, {kGetMediaSize, Kind::FW},
      {kVSCReadSector, Kind::FW}, {kSetEString, Kind::FW}}},
    {"SingleFormatStart", Operation::SingleFormatStart, kLib, kNotFound,
     {{kGetHandle, Kind::LW}, {kWriteProtect, Kind::LW}, {kGetMediaSize, Kind::LE}, {kSetEString, Kind::LE},
      {kGetPhyBlock, Kind::LE}, {kGetChipVersion, Kind::LE}, {kVSCReadSector, Kind::LE}, {kVSCWriteSector, Kind::LE},
      {kEraseBlock, Kind::LE}}},
    {"PartitionStart", Operation::PartitionStart, kLib, kNotFound,
     {{kGetHandle, Kind::LW}, {kGetPhyBlock, Kind::LW}, {kWriteProtect, Kind::LE}, {kGetMediaSize, Kind::LE},
      {kVSCReadSector, Kind::LE}, {kVSCWriteSector, Kind::LE}, {kSetEString, Kind::LE}, {kEraseBlock, Kind::LE},
      {kGetChipVersion, Kind::LE}}},
    {"FormatterOpen", Operation::FormatterOpen, kLib, kCheckDevice,
     {{kGetHandle, Kind::LW}, {kVSCWriteSector, Kind::LE}}},
    {"TwoAreaLoad", Operation::TwoAreaLoad, kLib, kNotFound,
     {{kGetHandle, Kind::None}, {kGetChipVersion, Kind::None}, {kGetMediaSize, Kind::None},
      {kVSCReadSector, Kind::None}, {kGetPhyBlock, Kind::None}, {kVSCWriteSector, Kind::None},
      {kEraseBlock, Kind::None}, {kSetEString, Kind::None}, {kWriteProtect, Kind::None}}},
};
#endif

std::vector<Box> Expected(Kind kind) {
    switch (kind) {
        case Kind::LW: return {Warning("Load library failed!")};
        case Kind::LE: return {Error("Load library failed!")};
        case Kind::FW: return {Warning(kNotFound)};
        case Kind::None: return {};
    }
    return {};
}

// Binds the operation's names in order; false at the first that fails.
bool BindAll(DeviceSession& session, const OperationCase& c) {
    for (const Name& name : c.order) {
        FARPROC proc = nullptr;
        if (!session.Bind(name.proc, proc)) return false;
        if (proc == nullptr) return false;
    }
    return true;
}

class DevbindTest : public AppTest, public testing::WithParamInterface<OperationCase> {
protected:
    void ExpectNothingLeft() {
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
        EXPECT_EQ(World().OpenHandleCount(), 0);
    }
};

TEST_P(DevbindTest, MissingLibraryShowsItsMessage) {
    const OperationCase& c = GetParam();
    auto disk = AddDisk(u"DISK");
    World().HideLibrary(kLibrary);
    {
        DeviceSession session(c.operation);
        EXPECT_FALSE(session.Load());
        // Nothing after a failed load binds, finds or shows anything more.
        EXPECT_FALSE(BindAll(session, c));
        EXPECT_FALSE(session.Find("DISK"));
    }
    EXPECT_EQ(Boxes(), std::vector<Box>{Error(c.libraryMissing)});
    EXPECT_TRUE(disk->trace().empty());
    ExpectNothingLeft();
}

TEST_P(DevbindTest, EachMissingProcedureShowsItsMessageAndFreesTheLibrary) {
    const OperationCase& c = GetParam();
    auto disk = AddDisk(u"DISK");
    for (std::size_t missing = 0; missing < c.order.size(); ++missing) {
        const char* name = ProcNameTable[c.order[missing].proc];
        SCOPED_TRACE(name);
        World().Reset();
        disk = AddDisk(u"DISK");
        World().HideExport(kLibrary, name);
        {
            DeviceSession session(c.operation);
            ASSERT_TRUE(session.Load());
            EXPECT_FALSE(BindAll(session, c));
            // Freed at once, before the handler goes on.
            EXPECT_EQ(World().LoadedLibraryCount(), 0);
            EXPECT_FALSE(session.Find("DISK"));
        }
        EXPECT_EQ(Boxes(), Expected(c.order[missing].missing));
        EXPECT_TRUE(disk->trace().empty());
        ExpectNothingLeft();
    }
}

// The operations that search one device.
std::vector<OperationCase> SearchingCases() {
    std::vector<OperationCase> searching;
    for (const OperationCase& c : kCases) {
        if (c.notFound != nullptr) searching.push_back(c);
    }
    return searching;
}

class DevbindSearchTest : public DevbindTest {};

TEST_P(DevbindSearchTest, DeviceNotFoundShowsItsMessage) {
    const OperationCase& c = GetParam();
    AddDisk(u"DISK");
    {
        DeviceSession session(c.operation);
        ASSERT_TRUE(session.Load());
        ASSERT_TRUE(BindAll(session, c));
        EXPECT_FALSE(session.Find("OTHER"));
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
    }
    EXPECT_EQ(Boxes(), std::vector<Box>{Warning(c.notFound)});
    ExpectNothingLeft();
}

TEST_P(DevbindSearchTest, FoundDeviceIsReleasedWhenTheOperationEnds) {
    const OperationCase& c = GetParam();
    AddDisk(u"FIRST");
    AddDisk(u"SECOND");
    {
        DeviceSession session(c.operation);
        ASSERT_TRUE(session.Load());
        ASSERT_TRUE(BindAll(session, c));
        ASSERT_TRUE(session.Find("second"));
#ifdef KT4790_ASPI
        EXPECT_EQ(session.HostAdapterId, World().devices()[1].hostAdapter);
        EXPECT_EQ(session.TargetId, World().devices()[1].target);
#else
        EXPECT_NE(session.DeviceHandle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(World().OpenHandleCount(winsim::HandleKind::Device), 1);
#endif
        EXPECT_EQ(World().LoadedLibraryCount(), 1);
    }
    EXPECT_TRUE(Boxes().empty());
    ExpectNothingLeft();
}

std::string Label(const testing::TestParamInfo<OperationCase>& param) { return param.param.label; }
INSTANTIATE_TEST_SUITE_P(Operations, DevbindTest, testing::ValuesIn(kCases), Label);
INSTANTIATE_TEST_SUITE_P(Operations, DevbindSearchTest, testing::ValuesIn(SearchingCases()), Label);

// The names the operations labelled `labels` bind, one operation after the
// other.
std::vector<std::string> NamesBound(const std::vector<const char*>& labels) {
    std::vector<std::string> names;
    for (const char* label : labels) {
        const auto c = std::find_if(kCases.begin(), kCases.end(),
                                    [label](const OperationCase& o) { return std::string(o.label) == label; });
        EXPECT_NE(c, kCases.end()) << label;
        if (c == kCases.end()) continue;
        for (const Name& name : c->order) names.push_back(ProcNameTable[name.proc]);
    }
    return names;
}

class HandlerBindingTest : public EraseDialogTest {
protected:
    // A dialog shown for `DeviceName` "DISK", as its opener shows it.
    template <class Form>
    static void Show(Form* form) {
        form->DeviceName = "DISK";
        form->SetVisible(true);
    }
    static void Type(vcl::TEdit* edit, const std::string& text) {
        ASSERT_TRUE(vcl::headless::userType(edit, text)) << vcl::headless::lastRefusal();
    }
    static void Check(vcl::TRadioButton* button) {
        ASSERT_TRUE(vcl::headless::userCheck(button)) << vcl::headless::lastRefusal();
    }
};

// What each handler asks of GetProcAddress, pressed on a disk where it runs
// to its end, is its operation's names in their order, and after them the
// names of every operation it leads to: the formatter's openings (the
// driver's, then each area writer's) and the utility window's list after a
// rename. Names with the same message when missing are told apart here.
TEST_F(HandlerBindingTest, EachHandlerAsksForItsProceduresInItsOrder) {
    struct Case {
        const char* handler;
        bool password;               // the disk has the password "pw"
        std::uint16_t partitionWord; // the split recorded on the disk
        std::function<vcl::TButton*()> prepare;  // the window shown and filled in; the button pressed
        std::vector<const char*> binds;          // operations of the table above, in turn
    };
    using F = std::function<vcl::TButton*()>;
    const Case cases[] = {
        {"SET/CHECK PASSWORD", false, 500, F([] { return JUtilityForm->btnSetNChkPwd; }), {"SetCheckOpener"}},
        {"CHANGE PASSWORD", false, 500, F([] { return JUtilityForm->btnChangPwd; }), {"ChangeOpener"}},
        {"FORMAT", false, 0, F([] { return JUtilityForm->btnFormat; }), {"FormatOpener"}},
        {"PARTITION", false, 0, F([] { return JUtilityForm->btnPartition; }), {"PartitionOpener"}},
        {"change device name OK", false, 0, F([] {
             Show(ChgDevNameForm);
             Type(ChgDevNameForm->edtNewDevName, "RENAMED");
             return ChgDevNameForm->btnChgDevNOK;
         }),
         {"ChangeDeviceNameOk", "UtilityDeviceList"}},
        {"main window HINT", true, 0, F([] {
             MainForm->SetVisible(true);
             return MainForm->btnHint;
         }),
         {"HintButton"}},
        {"check password HINT", true, 0, F([] {
             Show(ChkPwdForm);
             return ChkPwdForm->btnHint;
         }),
         {"HintButton"}},
        {"clear password HINT", true, 0, F([] {
             Show(ClearPasswdForm);
             return ClearPasswdForm->btnHint;
         }),
         {"HintButton"}},
        {"format gate HINT", true, 0, F([] {
             Show(JFormatChkPwdForm);
#ifdef KT4790_ASPI
             return JFormatChkPwdForm->btnHint;
#else
             return JFormatChkPwdForm->btnHINT;
#endif
         }),
         {"HintButton"}},
        {"partition gate HINT", true, 0, F([] {
             Show(JPartitionChkPwdForm);
             return JPartitionChkPwdForm->btnHint;
         }),
         {"HintButton"}},
        {"check password OK", true, 0, F([] {
             Show(ChkPwdForm);
             Type(ChkPwdForm->edtPwd, "pw");
             return ChkPwdForm->btnOk;
         }),
         {"CheckPwdOk"}},
        {"set password OK", false, 500, F([] {
             Show(SetPwdForm);
             Type(SetPwdForm->edtPwd, "new");
             Type(SetPwdForm->edtConfirmPwd, "new");
             return SetPwdForm->btnOK;
         }),
         {"SetPwdOk"}},
        {"change password OK", true, 500, F([] {
             Show(ChgPwdForm);
             Type(ChgPwdForm->edtOldPwd, "pw");
             Type(ChgPwdForm->edtNewPwd, "new");
             Type(ChgPwdForm->edtConfirmPwd, "new");
             return ChgPwdForm->btnChgPwdOK;
         }),
         {"ChangePwdOk"}},
        {"clear password OK", true, 500, F([] {
             Show(ClearPasswdForm);
             Type(ClearPasswdForm->edtPasswd, "pw");
             return ClearPasswdForm->btnOK;
         }),
         {"ClearPwdOk"}},
        {"format gate OK", true, 0, F([] {
             Show(JFormatChkPwdForm);
             Type(JFormatChkPwdForm->edtPasswd, "pw");
             return JFormatChkPwdForm->btnOK;
         }),
         {"FormatGateOk"}},
        {"partition gate OK", true, 0, F([] {
             Show(JPartitionChkPwdForm);
             Type(JPartitionChkPwdForm->edtPasswd, "pw");
             return JPartitionChkPwdForm->btnOK;
         }),
         {"PartitionGateOk"}},
        {"single-disk format Start", false, 0, F([] {
             Show(JSFormatForm);
             return JSFormatForm->btnStart;
         }),
         {"SingleFormatStart", "FormatterOpen", "FormatterOpen"}},
        {"partition Start", false, 0, F([] {
             PartitionForm->ZoneCount = 1;
             Show(PartitionForm);
             Type(PartitionForm->edtSEQ, "5");
             return PartitionForm->btnStartParti;
         }),
         {"PartitionStart", "FormatterOpen", "FormatterOpen", "FormatterOpen"}},
        {"two-area format Start, security disk", false, 500, F([] {
             Show(JDFormatForm);
             Check(JDFormatForm->rbtnMainStorage);
             return JDFormatForm->btnStart;
         }),
         {"TwoAreaLoad", "FormatterOpen"}},
        {"two-area format Start, standard disk", false, 500, F([] {
             Show(JDFormatForm);
             Check(JDFormatForm->rbtnAcceStorage);
             return JDFormatForm->btnStart;
         }),
         {"TwoAreaLoad", "FormatterOpen"}},
        {"two-area format Start, both disks", false, 500, F([] {
             Show(JDFormatForm);
             Check(JDFormatForm->rbtnBoth);
             return JDFormatForm->btnStart;
         }),
         {"TwoAreaLoad", "FormatterOpen", "FormatterOpen", "FormatterOpen"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.handler);
        emulator::Config disk = Medium(0x30, false, 1);
        if (c.password) disk.password = "pw";
        Start(disk);
        if (c.partitionWord != 0) {
            std::uint8_t sector[512];
            ReadDescriptorSector(*disk_, sector);
            kt4790::WriteBigEndian16(sector + kt4790::kPartitionWordOffset, c.partitionWord);
            WriteDescriptorSector(*disk_, sector);
        }
        vcl::TButton* button = c.prepare();
        World().ClearMessageBoxes();
        World().ClearProcNamesAsked();
        Press(button);
        EXPECT_EQ(World().ProcNamesAsked(), NamesBound(c.binds)) << testing::PrintToString(Boxes());
        ExpectNothingLeftOpen();
    }
}

TEST_F(AppTest, EmptyDeviceNameIsPassedAsAnEmptyString) {
    // The name test looks for the name inside the device's name: "" is in every one.
    AddDisk(u"ANY");
    {
        DeviceSession session(Operation::MainOk);
        ASSERT_TRUE(session.Load());
        ASSERT_TRUE(session.BindFinder());
        EXPECT_TRUE(session.Find(nullptr));
    }
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(World().LoadedLibraryCount(), 0);
    EXPECT_EQ(World().OpenHandleCount(), 0);
}

TEST_F(AppTest, ProcNameTableEndsWithTheFilterAndTheLibrary) {
#ifdef KT4790_ASPI
    EXPECT_EQ(kProcNameCount, 16);
    EXPECT_STREQ(ProcNameTable[kRevisionFilter], "KVOR");
    EXPECT_STREQ(ProcNameTable[kLibraryName], "KT4790mDLL");
#else
    EXPECT_EQ(kProcNameCount, 22);
    EXPECT_STREQ(ProcNameTable[kRevisionFilter], "Rev_KVOR");
    EXPECT_STREQ(ProcNameTable[kLibraryName], "KT4790DLL");
#endif
    // Every procedure name resolves in the library of the build.
    HMODULE library = LoadLibraryA(kLibrary);
    ASSERT_NE(library, nullptr);
    for (int i = 0; i < kRevisionFilter; ++i) EXPECT_NE(GetProcAddress(library, ProcNameTable[i]), nullptr) << i;
    FreeLibrary(library);
}

}  // namespace
}  // namespace apptest
