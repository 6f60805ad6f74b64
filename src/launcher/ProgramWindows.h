#pragma once

#include "launcher/quorvanep.h"
#include "signin/QuorvaneUserLogin.h"
#include "signin/passwd2.h"
#include "toolbarconf/ToolBarConf.h"
#include "upgrade/cinstall.h"

// The five windows of a run, made in this order and living as long as this does; the first is
// the main window. The program-wide references point at them meanwhile.
struct ProgramWindows {
    TQuorvaneForm form;
    TFormToolbarConf toolbarConf{form.Database1};
    TFormInstaller installer{form.Database1};
    TFormPaswd paswd;
    TUserLoginForm login;

    ProgramWindows() {
        QuorvaneForm = &form;
        FormToolbarConf = &toolbarConf;
        FormInstaller = &installer;
        FormPaswd = &paswd;
        UserLoginForm = &login;
        form.UserLoginForm = &login;
        form.FormPaswd = &paswd;
        form.setFormInstaller(&installer);
        form.FormToolbarConf = &toolbarConf;
    }
    ~ProgramWindows() {
        QuorvaneForm = nullptr;
        FormToolbarConf = nullptr;
        FormInstaller = nullptr;
        FormPaswd = nullptr;
        UserLoginForm = nullptr;
    }
    ProgramWindows(const ProgramWindows&) = delete;
    ProgramWindows& operator=(const ProgramWindows&) = delete;
};
