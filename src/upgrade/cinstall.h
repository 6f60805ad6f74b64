#pragma once

#include "upgrade/UpgradeEntry.h"

#include <QDialog>
#include <QList>
#include <QSet>
#include <QStringList>
#include <memory>

class Connection;
class InstalledState;
class OutdatedPrograms;
class ProfileFile;
class Query;
class TFtpClient;
class UpgradeReport;
class QFrame;
class QLabel;
class QProgressBar;
class QStatusBar;

// The upgrade utility: finds the outdated client programs and fetches them by FTP.
class TFormInstaller : public QDialog {
    Q_OBJECT
public:
    explicit TFormInstaller(Connection* database, QWidget* parent = nullptr);
    ~TFormInstaller() override;

    // Number of client programs to upgrade; negative when the local program folder
    // cannot be prepared (reported to the user already).
    int CountOutdated();
    // Shows the window, upgrades the outdated programs, hides the window. An error closing
    // the FTP connection at the end (an error reply to QUIT) is raised, the window hidden.
    void RunUpgradeWindow();

    // True while RunUpgradeWindow runs; a CountOutdated or RunUpgradeWindow meanwhile does
    // nothing, so callers can also disable what would start one.
    bool running() const { return m_running; }

    void FormCreate();
    void FormDestroy();

    // The FTP password: a fixed e-mail address, as anonymous FTP asks for.
    static const QString FtpPassword;

    // Widgets.
    QFrame* Panel1 = nullptr;
    QLabel* Panel1Text = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QLabel* StatusPanels[2] = {nullptr, nullptr};

    // Components.
    Query* Query1 = nullptr;
    // The releases the database lists for the user's programs: digest, size, signature.
    Query* QueryDigests = nullptr;
    TFtpClient* FTP1 = nullptr;
    // What the last check and run did, for the central database; the caller sends it.
    UpgradeReport* Report = nullptr;

    QString BaseFolder;
    std::unique_ptr<ProfileFile> Settings;
    QString LocalFile;
    // The programs to fetch, one entry per target file.
    QList<UpgradeEntry> Entries;
    // What this workstation installed where, beside the settings file.
    std::unique_ptr<InstalledState> Installed;

signals:
    void runningChanged(bool running);

protected:
    // The window has no close box; Escape and a window-manager close are ignored too.
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

private:
    enum class Fetch { Done, FolderFailed };

    void ReadReleases(OutdatedPrograms& outdated);
    // Tells the report what the check decided for each entry.
    void ReportCheck(const OutdatedPrograms& outdated);
    // Raises, after a status report at level 1, when the last download's digest is not the
    // entry's; an entry without a digest is not pinned.
    void CheckDigest(const UpgradeEntry& entry);
    // Records an installed file in the state and the settings file; what fails there is told
    // and reported, but the file is in: it is never reported as failed. `fetchMs`: what the
    // download took.
    void RecordInstalled(const UpgradeEntry& entry, qint64 fetchMs);
    bool OpenConnection(const QString& host);
    Fetch FetchEntry(const UpgradeEntry& entry, const QString& host);
    bool ForceDirectories(const QString& folder);
    void FolderFailed(const QString& folder);
    // Tells the user why the run stops, and the report which programs it did not reach.
    void StopRun(const QString& text);
    void SetRunning(bool running);

    bool m_running = false;
    // Removes dead launchers' part files from a client folder inside the drive, once per check.
    void RemoveDeadParts(const QString& folder);
    // The client folders on disk the last check or run has cleared of dead launchers' part
    // files.
    QSet<QString> m_cleanedFolders;
};

extern TFormInstaller* FormInstaller;
