#include "app/Jutility.h"

#include "app/Main.h"

TJUtilityForm* JUtilityForm = nullptr;

TJUtilityForm::TJUtilityForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JUtilityForm");
    SetCaption("USB Flash Disk Utility Menu");
    SetBorderStyle(vcl::bsDialog);
    SetBorderIcons(vcl::biSystemMenu);
    SetClientWidth(306);
#ifdef KT4790_ASPI
    SetClientHeight(418);
#else
    SetClientHeight(370);
#endif
    OnCreate = vcl::Handler(this, &TJUtilityForm::FormCreate);
    OnShow = vcl::Handler(this, &TJUtilityForm::FormShow);
}

// At start-up the password check comes first: showing the main window runs
// its show handler, which lists the devices.
void TJUtilityForm::FormCreate(vcl::TObject* /*Sender*/) {
    SetVisible(false);
    MainForm->SetVisible(true);
}

void TJUtilityForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
