#pragma once

#include <QDialog>

class Connection;

// The upgrade utility: finds the outdated client programs and fetches them by FTP.
class TFormInstaller : public QDialog {
    Q_OBJECT
public:
    explicit TFormInstaller(Connection* database, QWidget* parent = nullptr);

    // Number of client programs to upgrade; negative when the local program folder
    // cannot be prepared (reported to the user already).
    int CountOutdated();
    // Shows the window, upgrades the outdated programs, hides the window.
    void RunUpgradeWindow();
};

extern TFormInstaller* FormInstaller;
