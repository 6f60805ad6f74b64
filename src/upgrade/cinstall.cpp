#include "upgrade/cinstall.h"

TFormInstaller* FormInstaller = nullptr;

TFormInstaller::TFormInstaller(Connection* database, QWidget* parent) : QDialog(parent) {
    Q_UNUSED(database);
}

int TFormInstaller::CountOutdated() { return 0; }

void TFormInstaller::RunUpgradeWindow() {}
