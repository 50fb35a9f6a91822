#include "app_test.h"

#include "app/Chgdevname.h"
#include "app/Chgpwd.h"
#include "app/Chkpwd.h"
#include "app/Clearpwd.h"
#include "app/Fchkpwd.h"
#include "app/Jsavedialog.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/Pchkpwd.h"
#include "app/Setpwd.h"
#include "format/Copyfile.h"
#include "format/Dformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"

namespace apptest {

void ClearFormGlobals() {
    MainForm = nullptr;
    JUtilityForm = nullptr;
    JSFormatForm = nullptr;
    ChgPwdForm = nullptr;
    ChkPwdForm = nullptr;
    ClearPasswdForm = nullptr;
    JDFormatForm = nullptr;
    JFormatChkPwdForm = nullptr;
    JSaveDialogForm = nullptr;
    SetPwdForm = nullptr;
    ChgDevNameForm = nullptr;
    PartitionForm = nullptr;
    CopyFileForm = nullptr;
    JPartitionChkPwdForm = nullptr;
}

}  // namespace apptest
