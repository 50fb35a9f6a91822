// format_journey_cap and format_journey_mcap: a person at the utility window
// of KT4790CAP or KT4790MCAP, over an emulated disk kept in an image file:
// the password typed in the main window, then each step in turn, pressed,
// typed and answered as a person would, through the real device library.
//
//   format_journey_cap IMAGE [--password TEXT] STEP...
//     format LAYOUT LABEL      "FORMAT", the single-disk format dialog, the
//                              label typed, "Start"
//     partition LAYOUT SIZE    "PARTITION", SIZE typed key by key into the
//                              security size, "Start", the question answered OK
//     security|standard|both LAYOUT LABELS
//                              "FORMAT" on a split medium, the two-area dialog:
//                              that storage button, the layout (not for the
//                              security disk, whose group is disabled), the
//                              labels typed ("SECURITY|STANDARD" for both),
//                              "Start", the question answered OK
//   LAYOUT: fdd, zip or hdd (the radio button checked). A gate in front of a
//   dialog gets the password (default: none).
//
// Prints every message box ("box CAPTION: TEXT") and, for each Start, the
// commands the disk received meanwhile by operation code, how many of the
// sector reads (F5) read spare areas, and the time the press took. The image is saved after the last step. Exit code 0 when every
// step ended with its dialog's success message, 1 otherwise, 2 for a bad
// command line.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Fchkpwd.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/Pchkpwd.h"
#include "app/WinMain.h"
#include "devlib/cdb.h"
#include "emulator/controller.h"
#include "format/Dformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"
#include "vcl/headless/driver.h"
#include "winsim/world.h"

namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userCheck;
using vcl::headless::userClick;
using vcl::headless::userType;

#ifdef KT4790_ASPI
constexpr const char* kFormatted = "Format was successful. You need to unplug and replug the device!";
#else
constexpr const char* kFormatted = "Format was successful. You need to unplug and replug the device.";
#endif
constexpr const char* kPartitioned = "Partition was successful. You need to unplug and replug the device!";
constexpr const char* kAreasFormatted = "Format was successful. You need to unplug and replug the device!";

struct Step {
    std::string action;  // format or partition
    std::string layout;  // fdd, zip or hdd
    std::string text;    // the label, or the security size
};

int Usage(const std::string& problem) {
    std::cerr << "format_journey: " << problem
              << "\nusage: format_journey IMAGE [--password TEXT] STEP...\n"
                 "  STEP: format fdd|zip|hdd LABEL | partition fdd|zip|hdd SIZE |\n"
                 "        security|standard|both fdd|zip|hdd LABELS\n";
    return 2;
}

// A person's action that the program refused (a hidden or disabled control).
bool Did(bool done, const std::string& what) {
    if (!done) std::cout << "refused: " << what << ": " << lastRefusal() << "\n";
    return done;
}

// The boxes shown since the last call, printed; true when `success` was one.
bool PrintBoxes(std::size_t& seen, const char* success) {
    bool succeeded = false;
    const std::vector<winsim::MessageBoxCall>& boxes = winsim::World::Get().MessageBoxes();
    for (; seen < boxes.size(); ++seen) {
        std::cout << "box " << boxes[seen].caption << ": " << boxes[seen].text << "\n";
        succeeded = succeeded || boxes[seen].text == success;
    }
    return succeeded;
}

// The gate shown now, if any, gets the password and OK.
bool PassGate(const std::string& password) {
    vcl::TEdit* edit = nullptr;
    vcl::TButton* ok = nullptr;
    if (JFormatChkPwdForm->Visible()) {
        edit = JFormatChkPwdForm->edtPasswd;
        ok = JFormatChkPwdForm->btnOK;
    } else if (JPartitionChkPwdForm->Visible()) {
        edit = JPartitionChkPwdForm->edtPasswd;
        ok = JPartitionChkPwdForm->btnOK;
    } else {
        return true;
    }
    return Did(userType(edit, password), "the gate's password") && Did(userClick(ok), "the gate's OK");
}

// Presses `start` and tells what the disk received meanwhile.
bool TimedStart(vcl::TButton* start, const emulator::Controller& disk) {
    const std::size_t first = disk.trace().size();
    const auto started = std::chrono::steady_clock::now();
    if (!Did(userClick(start), "Start")) return false;
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    std::map<int, std::size_t> byOpcode;
    std::size_t spareReads = 0;
    for (std::size_t i = first; i < disk.trace().size(); ++i) {
        const auto& cdb = disk.trace()[i].cdb;
        ++byOpcode[cdb[0]];
        if (cdb[0] == devcmd::kOpVscReadSector && (cdb[1] & devcmd::kSpareFlag) != 0) ++spareReads;
    }
    const std::size_t commands = disk.trace().size() - first;
    std::printf("start: %.1f ms, %zu commands, %.2f us each\ncommands:", ms, commands,
                commands == 0 ? 0.0 : ms * 1000 / static_cast<double>(commands));
    for (const auto& [opcode, count] : byOpcode) std::printf(" %02X=%zu", opcode, count);
    std::printf("\nspare reads: %zu\n", spareReads);
    return true;
}

bool RunFormat(const Step& step, const std::string& password, const emulator::Controller& disk) {
    if (!Did(userClick(JUtilityForm->btnFormat), "FORMAT") || !PassGate(password)) return false;
    if (!JSFormatForm->Visible()) {
        std::cout << "refused: the single-disk format dialog is not shown\n";
        return false;
    }
    vcl::TRadioButton* layout = step.layout == "hdd"   ? JSFormatForm->rbtnHDDBoot
                                : step.layout == "zip" ? JSFormatForm->rbtnZIPBoot
                                                       : JSFormatForm->rbtnFDDBoot;
    return Did(userCheck(layout), "the layout") && Did(userType(JSFormatForm->edtVolume, step.text), "the label") &&
           TimedStart(JSFormatForm->btnStart, disk);
}

bool RunPartition(const Step& step, const std::string& password, const emulator::Controller& disk) {
    if (!Did(userClick(JUtilityForm->btnPartition), "PARTITION") || !PassGate(password)) return false;
    if (!PartitionForm->Visible()) {
        std::cout << "refused: the partition dialog is not shown\n";
        return false;
    }
    vcl::TRadioButton* layout = step.layout == "hdd"   ? PartitionForm->rbtnHDDBoot
                                : step.layout == "zip" ? PartitionForm->rbtnZipBoot
                                                       : PartitionForm->rbtnFDDBoot;
    if (!Did(userCheck(layout), "the layout") || !Did(userType(PartitionForm->edtSEQ, step.text), "the size")) {
        return false;
    }
    std::cout << "sizes: total " << PartitionForm->labTotalSize->Caption() << ", security " << PartitionForm->edtSEQ->Text()
              << " MB, standard " << PartitionForm->labStandardSize->Caption() << "\n";
    return TimedStart(PartitionForm->btnStartParti, disk);
}

bool RunAreas(const Step& step, const std::string& password, const emulator::Controller& disk) {
    if (!Did(userClick(JUtilityForm->btnFormat), "FORMAT") || !PassGate(password)) return false;
    if (!JDFormatForm->Visible()) {
        std::cout << "refused: the two-area format dialog is not shown\n";
        return false;
    }
    vcl::TRadioButton* storage = step.action == "security"   ? JDFormatForm->rbtnMainStorage
                                 : step.action == "standard" ? JDFormatForm->rbtnAcceStorage
                                                             : JDFormatForm->rbtnBoth;
    vcl::TRadioButton* layout = step.layout == "hdd"   ? JDFormatForm->rbtnHDDBoot
                                : step.layout == "zip" ? JDFormatForm->rbtnZIPBoot
                                                       : JDFormatForm->rbtnFDDBoot;
    const std::size_t bar = step.text.find('|');
    const std::string security = step.action == "both" ? step.text.substr(0, bar) : step.text;
    const std::string standard = bar == std::string::npos ? step.text : step.text.substr(bar + 1);
    if (!Did(userCheck(storage), "the storage")) return false;
    if (step.action != "security" && !Did(userCheck(layout), "the layout")) return false;
    if (step.action != "standard" && !Did(userType(JDFormatForm->edtMainVolume, security), "the security label")) {
        return false;
    }
    if (step.action != "security" && !Did(userType(JDFormatForm->edtAcceVolume, standard), "the standard label")) {
        return false;
    }
    return TimedStart(JDFormatForm->btnStart, disk);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("IMAGE needed");
    const std::string image = argv[1];
    std::string password;
    std::vector<Step> steps;
    for (int i = 2; i < argc;) {
        const std::string word = argv[i];
        if (word == "--password" && i + 1 < argc) {
            password = argv[i + 1];
            i += 2;
            continue;
        }
        const bool known = word == "format" || word == "partition" || word == "security" || word == "standard" ||
                           word == "both";
        if (!known || i + 2 >= argc) return Usage("bad step at " + word);
        const Step step{word, argv[i + 1], argv[i + 2]};
        if (step.layout != "fdd" && step.layout != "zip" && step.layout != "hdd") return Usage("bad layout " + step.layout);
        steps.push_back(step);
        i += 3;
    }
    if (steps.empty()) return Usage("no step");

    std::string error;
    std::shared_ptr<emulator::Controller> disk = emulator::Controller::LoadImage(image, &error);
    if (!disk) {
        std::cerr << "format_journey: " << error << "\n";
        return 1;
    }
    winsim::World& world = winsim::World::Get();
    world.SetPassThroughLogging(false);
    world.SetAspiLogging(false);
#ifdef KT4790_ASPI
    winsim::WindowsVersion windows98;
    windows98.major = 4;
    windows98.minor = 10;
    windows98.platformId = 1;
    world.SetWindowsVersion(windows98);
#endif
    world.AddDevice(disk);
    // Room for the commands of an erase of the largest medium and its format.
    disk->ReserveTrace(1u << 19);

    // The main window's password check leads to the utility window.
    AppMain();
    std::size_t seen = 0;
    if (!Did(userType(MainForm->edtPwd, password), "the password") || !Did(userClick(MainForm->btnOk), "OK") ||
        !JUtilityForm->Visible()) {
        PrintBoxes(seen, "");
        std::cout << "refused: no utility window\n";
        vcl::headless::resetApplication();
        return 1;
    }
    PrintBoxes(seen, "");

    bool allDone = true;
    for (const Step& step : steps) {
        std::cout << "step: " << step.action << " " << step.layout << " \"" << step.text << "\"\n";
        bool pressed = false;
        const char* success = kAreasFormatted;
        if (step.action == "format") {
            pressed = RunFormat(step, password, *disk);
            success = kFormatted;
        } else if (step.action == "partition") {
            pressed = RunPartition(step, password, *disk);
            success = kPartitioned;
        } else {
            pressed = RunAreas(step, password, *disk);
        }
        const bool succeeded = PrintBoxes(seen, success);
        allDone = allDone && pressed && succeeded;
        if (!allDone) break;
    }
    vcl::headless::resetApplication();
    if (!disk->SaveImage(image, &error)) {
        std::cerr << "format_journey: " << error << "\n";
        return 1;
    }
    return allDone ? 0 : 1;
}
