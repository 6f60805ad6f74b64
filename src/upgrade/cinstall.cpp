#include "upgrade/cinstall.h"

#include "data/Field.h"
#include "data/ProfileFile.h"
#include "data/Query.h"
#include "net/FtpClient.h"
#include "platform/DriveMapping.h"
#include "platform/MessageDialogs.h"
#include "upgrade/InstalledState.h"
#include "upgrade/OutdatedPrograms.h"
#include "upgrade/ProgramReplacement.h"
#include "upgrade/ReleaseSignature.h"
#include "upgrade/UpgradePaths.h"
#include "upgrade/UpgradeReport.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <QVBoxLayout>

TFormInstaller* FormInstaller = nullptr;

const QString TFormInstaller::FtpPassword = QStringLiteral("quorvane@workstation.invalid");

namespace {

const QString CR = QStringLiteral("\r");
const QString Stopped = QStringLiteral("Installation stoped!");
const QString VersionSection = QStringLiteral("progversion");
const QString NoVersion = QStringLiteral("0.000");

QString readOnlyText(const QString& exe) {
    return QStringLiteral("Program ") + exe + QStringLiteral(" needs to be upgraded!") + CR +
           QStringLiteral("Installer cannot delete it because it is read-only!");
}

// The columns read beside each program the upgrade keeps current, in the order the digests
// statement selects them; a later column is one more line here.
const QStringList PinColumns = {
    QStringLiteral("sha256"),
    QStringLiteral("file_size"),
    QStringLiteral("signature"),
    QStringLiteral("key_id"),
};

// Only the columns used, for the user's programs of type 1, so the server reads them through
// the indexes and hashes no whole program rows. A column not among the server's `columns`
// reads as null.
QStringList DigestsSql(const QStringList& columns) {
    QStringList sql{QStringLiteral("select"), QStringLiteral(" b.prog_exe"),
                    QStringLiteral(",b.clientpath"),
                    QStringLiteral(",ltrim(to_char(b.version,'990.000')) version")};
    for (const QString& column : PinColumns)
        sql << (columns.contains(column) ? QStringLiteral(",b.") + column
                                         : QStringLiteral(",null::text ") + column);
    sql << QStringLiteral("from")
        << QStringLiteral(" quorvane.user_prog_db u, quorvane.quorvane_prog b")
        << QStringLiteral("where") << QStringLiteral(" b.prog_id = u.quorvane_prog_id")
        << QStringLiteral("and") << QStringLiteral(" u.username=user") << QStringLiteral("and")
        << QStringLiteral(" b.prog_type = 1") << QStringLiteral("order by")
        << QStringLiteral(" b.prog_id");
    return sql;
}

int ftpPort() {
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("QUORVANE_FTP_PORT", &ok);
    return ok && port > 0 && port < 65536 ? port : 21;
}

} // namespace

TFormInstaller::TFormInstaller(Connection* database, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Setup"));
    // A dialog border with a title but no title-bar buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(482, 104);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QFrame(this);
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Raised);
    auto* panelLayout = new QVBoxLayout(Panel1);
    Panel1Text = new QLabel(QStringLiteral("Quorvane upgrade utility. please wait !"), Panel1);
    Panel1Text->setAlignment(Qt::AlignCenter);
    QFont font = Panel1Text->font();
    font.setBold(true);
    font.setPixelSize(19);
    Panel1Text->setFont(font);
    Panel1Text->setStyleSheet(QStringLiteral("color: maroon;"));
    panelLayout->addWidget(Panel1Text);
    layout->addWidget(Panel1, 1);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setFixedHeight(16);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setVisible(false);
    layout->addWidget(ProgressBar1);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);
    StatusPanels[0] = new QLabel(StatusBar1);
    StatusPanels[0]->setFixedWidth(75);
    StatusPanels[1] = new QLabel(StatusBar1);
    StatusPanels[1]->setMinimumWidth(70);
    StatusBar1->addWidget(StatusPanels[0]);
    StatusBar1->addWidget(StatusPanels[1], 1);
    layout->addWidget(StatusBar1);

    Query1 = new Query(database, this);
    Query1->setSql(QStringList{
        QStringLiteral("select"),
        QStringLiteral(" b.prog_exe"),
        QStringLiteral(",b.prog_name"),
        QStringLiteral(",b.serverpath"),
        QStringLiteral(",b.clientpath"),
        QStringLiteral(",ltrim(to_char(b.version,'990.000')) version"),
        QStringLiteral(",b.clientpath||'\\'||b.prog_exe prog"),
        QStringLiteral("from"),
        QStringLiteral(" quorvane.user_prog_db u, quorvane.quorvane_prog b"),
        QStringLiteral("where"),
        QStringLiteral(" b.prog_id = u.quorvane_prog_id"),
        QStringLiteral("and"),
        QStringLiteral(" u.username=user"),
        QStringLiteral("and"),
        QStringLiteral(" b.prog_type = 1"),
        QStringLiteral("and"),
        QStringLiteral(" clientpath like 'c:\\%'"),
        QStringLiteral("order by"),
        QStringLiteral(" serverpath"),
    });

    // Only when something is outdated; ReadReleases names the columns the server has.
    QueryDigests = new Query(database, this);
    QueryDigests->setSql(DigestsSql(PinColumns));

    FTP1 = new TFtpClient(this);
    FTP1->Port = ftpPort();
    FTP1->ReportLevel = 0;
    FTP1->ProxyPort = 0;
    FTP1->TimeOut = 0;
    // Hashed while the bytes arrive, so checking a pinned program costs no second pass.
    FTP1->ComputeSha256 = true;

    Report = new UpgradeReport(database, this);

    FormCreate();
}

TFormInstaller::~TFormInstaller() {
    FormDestroy();
}

void TFormInstaller::FormCreate() {
    BaseFolder = QStringLiteral("c:\\quorvane3");
    Entries.clear();
    Settings = std::make_unique<ProfileFile>(BaseFolder + QStringLiteral("\\quorvane.ini"));
    Installed =
        std::make_unique<InstalledState>(BaseFolder + QStringLiteral("\\quorvane.installed"));
}

void TFormInstaller::FormDestroy() {
    Entries.clear();
    Settings.reset();
    Installed.reset();
}

void TFormInstaller::reject() {}

void TFormInstaller::closeEvent(QCloseEvent* event) {
    event->ignore();
}

void TFormInstaller::SetRunning(bool running) {
    m_running = running;
    emit runningChanged(running);
}

int TFormInstaller::CountOutdated() {
    // The lists belong to the run in progress.
    if (m_running)
        return 0;
    Report->begin();

    if (!openDrivePath(BaseFolder, DriveAccess::MakeFolders).isOpen()) {
        ShowMessage(QStringLiteral("Creating directory ") + BaseFolder +
                    QStringLiteral(" failed!") + CR + Stopped);
        return -1;
    }

    QStringList installedNames;
    QStringList installedVersions;
    if (Settings->exists()) {
        Settings->readSection(VersionSection, installedNames);
        for (const QString& name : installedNames)
            installedVersions << Settings->readString(VersionSection, name, NoVersion);
    }

    OutdatedPrograms outdated(installedNames, installedVersions, BaseFolder);
    Query1->open();
    for (; !Query1->eof(); Query1->next())
        outdated.addRow(Query1->fieldByName(QStringLiteral("prog_exe")).asString(),
                        Query1->fieldByName(QStringLiteral("clientpath")).asString(),
                        Query1->fieldByName(QStringLiteral("serverpath")).asString(),
                        Query1->fieldByName(QStringLiteral("version")).asString(),
                        Query1->fieldByName(QStringLiteral("prog")).asString());
    Query1->close();
    // A launcher killed mid-download leaves its part file behind; every folder the check
    // looked at is cleared of them, also those nothing is fetched into this time.
    m_cleanedFolders.clear();
    for (const QString& folder : outdated.folders())
        RemoveDeadParts(folder);
    if (!outdated.entries().isEmpty()) {
        ReadReleases(outdated);
        Installed->load();
        outdated.settle(*Installed, TrustedKeys());
        try {
            // Digests worked out for changed files are kept, so they are not hashed again.
            Installed->save();
        } catch (const Exception& error) {
            FTP1->ReportStatus(1, error.message());
        }
    }
    ReportCheck(outdated);
    Entries = outdated.outdated();
    return Entries.size();
}

// The release each target lists at each version: digest, size and signature. A central
// database not yet brought up to date lacks some of the columns: those read as null, instead
// of failing every sign-in.
void TFormInstaller::ReadReleases(OutdatedPrograms& outdated) {
    Query columns(QueryDigests->connection());
    columns.setSql(
        QStringLiteral("select a.attname::text attname from pg_catalog.pg_attribute a "
                       "where a.attrelid = pg_catalog.to_regclass('quorvane.quorvane_prog') "
                       "and a.attnum > 0 and not a.attisdropped"));
    columns.open();
    QStringList present;
    for (; !columns.eof(); columns.next())
        present << columns.fieldByName(QStringLiteral("attname")).asString();
    columns.close();
    QueryDigests->setSql(DigestsSql(present));

    QueryDigests->open();
    for (; !QueryDigests->eof(); QueryDigests->next()) {
        const Field& size = QueryDigests->fieldByName(QStringLiteral("file_size"));
        outdated.addRelease(QueryDigests->fieldByName(QStringLiteral("prog_exe")).asString(),
                            QueryDigests->fieldByName(QStringLiteral("clientpath")).asString(),
                            QueryDigests->fieldByName(QStringLiteral("version")).asString(),
                            QueryDigests->fieldByName(QStringLiteral("sha256")).asString(),
                            size.isNull() ? -1 : qint64(size.asFloat()),
                            QueryDigests->fieldByName(QStringLiteral("signature")).asString(),
                            QueryDigests->fieldByName(QStringLiteral("key_id")).asString());
    }
    QueryDigests->close();
}

void TFormInstaller::ReportCheck(const OutdatedPrograms& outdated) {
    for (const UpgradeEntry& entry : outdated.entries()) {
        Report->listed(entry.exe, entry.installed);
        switch (entry.state) {
        case UpgradeEntry::State::Current:
            break;
        case UpgradeEntry::State::Outdated:
            Report->outdated(entry.exe);
            break;
        case UpgradeEntry::State::SignatureRefused:
        case UpgradeEntry::State::RollbackRefused:
            // Told before any FTP traffic for it; the old program stays.
            FTP1->ReportStatus(1, entry.refusal);
            Report->refusedRelease(entry.exe, entry.state == UpgradeEntry::State::RollbackRefused,
                                   entry.refusal);
            break;
        }
    }
}

void TFormInstaller::RunUpgradeWindow() {
    if (m_running)
        return;
    SetRunning(true);
    // The window is hidden and the guard released however the run ends.
    struct EndOfRun {
        TFormInstaller* form;
        ~EndOfRun() {
            form->ProgressBar1->setVisible(false);
            form->hide();
            form->SetRunning(false);
        }
    } endOfRun{this};

    show();
    ProgressBar1->setVisible(true);
    ProgressBar1->setValue(0);
    ProgressBar1->setMinimum(0);
    ProgressBar1->setMaximum(Entries.size());

    QString previousHost = QStringLiteral("...");
    for (const UpgradeEntry& entry : std::as_const(Entries)) {
        const QString host = serverHost(entry.serverPath);
        if (host != previousHost) {
            if (!OpenConnection(host))
                break;
            previousHost = host;
        }
        if (FetchEntry(entry, host) == Fetch::FolderFailed)
            break;
    }
    // An error reply to QUIT goes to the caller; every fetched file is in and recorded, and
    // the socket is closed all the same.
    FTP1->Disconnect();
    QCoreApplication::processEvents();
}

bool TFormInstaller::OpenConnection(const QString& host) {
    try {
        // Leaving the previous host is part of reaching this one.
        FTP1->Disconnect();
        FTP1->Host = host;
        FTP1->UserID = QStringLiteral("ftp");
        FTP1->Password = FtpPassword;
        FTP1->Connect();
        FTP1->SetTransferType(2);
        // A download the server left out of step closes the session; the next program of this
        // host signs in again. Once that fails, the rest of the host fails at once instead of
        // each waiting for a server that no longer answers.
        FTP1->OnConnectionRequired = [this, failed = false](bool& handled) mutable {
            if (failed)
                return;
            failed = true;
            FTP1->Connect();
            failed = false;
            handled = true;
        };
    } catch (const Exception&) {
        StopRun(QStringLiteral("Unable to connect to ") + host + CR + Stopped);
        return false;
    }
    return true;
}

TFormInstaller::Fetch TFormInstaller::FetchEntry(const UpgradeEntry& entry, const QString& host) {
    const QString& exe = entry.exe;
    const QString& folder = entry.clientPath;

    StatusPanels[1]->setText(QStringLiteral("retrieving ") + host + QStringLiteral("://") + exe +
                             QStringLiteral("->") + exe);
    bool skip = false;
    QString remote;
    std::unique_ptr<ProgramReplacement> replacement;
    for (;;) {
        remote = remoteFileName(entry.serverPath, host, exe);
        LocalFile = folder + QLatin1Char('\\') + exe;
        QCoreApplication::processEvents();
        // A name that could write outside the client folders is refused like a folder that
        // cannot be created.
        if (!isSafeExeName(exe)) {
            FolderFailed(folder);
            return Fetch::FolderFailed;
        }
        if (!ForceDirectories(folder))
            return Fetch::FolderFailed;
        RemoveDeadParts(folder);
        replacement = std::make_unique<ProgramReplacement>(mapDrivePath(LocalFile));
        if (!replacement->blocked())
            break;
        const int answer =
            MessageDlg(readOnlyText(exe) + CR + QStringLiteral("Delete it and press Yes") + CR +
                           QStringLiteral("Press No to skip upgrade"),
                       MsgKind::Information, MbYes | MbNo);
        if (answer != MbYes) {
            skip = true;
            break;
        }
    }

    ProgressBar1->setValue(ProgressBar1->value() + 1);

    if (!skip) {
        qint64 fetchMs = 0;
        try {
            FTP1->Host = host;
            FTP1->SetTransferType(2);
            // The listed size, when there is one, bounds what the server may send.
            TCaptureTarget target;
            target.Handle = replacement->createPart();
            target.Limit = entry.size;
            QElapsedTimer fetching;
            fetching.start();
            FTP1->Download(remote, replacement->partPath(), target);
            fetchMs = fetching.elapsed();
            QCoreApplication::processEvents();
            CheckDigest(entry);
            replacement->commit();
        } catch (const Exception& error) {
            // The old program stays in place, with its old version recorded.
            replacement->discard();
            Report->failed(exe, error.message());
            StatusPanels[1]->clear();
            return Fetch::Done;
        }
        RecordInstalled(entry, fetchMs);
    } else {
        Report->failed(exe, readOnlyText(exe));
    }
    StatusPanels[1]->clear();
    return Fetch::Done;
}

void TFormInstaller::CheckDigest(const UpgradeEntry& entry) {
    const QString received = QString::fromLatin1(FTP1->ReceivedSha256());
    if (entry.sha256.isEmpty() || entry.sha256 == received)
        return;
    const QString text = QStringLiteral("Program ") + entry.exe +
                         QStringLiteral(" not installed: SHA-256 of the download is ") + received +
                         QStringLiteral(", the database lists ") + entry.sha256;
    FTP1->ReportStatus(1, text);
    Report->refused(entry.exe, received);
    throw Exception(text);
}

void TFormInstaller::RecordInstalled(const UpgradeEntry& entry, qint64 fetchMs) {
    const QString received = QString::fromLatin1(FTP1->ReceivedSha256());
    QStringList problems;
    try {
        Installed->installed(entry.target, entry.prog, entry.version, received,
                             !entry.signature.isEmpty());
        Installed->save();
    } catch (const Exception& error) {
        problems << error.message();
    }
    try {
        // The settings file keeps one version per exe name and it never goes down: another
        // client folder of the name may hold the higher one.
        bool higher = false;
        const double kept =
            Settings->readString(VersionSection, entry.exe, QString()).toDouble(&higher);
        if (!higher || kept <= entry.version.toDouble())
            Settings->writeString(VersionSection, entry.exe, entry.version);
    } catch (const Exception& error) {
        problems << error.message();
    }
    for (const QString& problem : std::as_const(problems))
        FTP1->ReportStatus(1, problem);
    Report->fetched(entry.exe, entry.version, received, FTP1->TransferSize, fetchMs,
                    problems.isEmpty() ? QString() : problems.join(CR));
}

// A folder on the way that leads out of the drive folder (a link) is refused like one that
// cannot be created: nothing is written through it.
bool TFormInstaller::ForceDirectories(const QString& folder) {
    if (!isSafeClientFolder(folder) || mapDrivePath(folder).isEmpty()) {
        FolderFailed(folder);
        return false;
    }
    if (openDrivePath(folder, DriveAccess::Folder).isOpen())
        return true;
    for (const QString& level : folderChain(folder)) {
        if (!openDrivePath(level, DriveAccess::MakeFolders).isOpen()) {
            FolderFailed(level);
            return false;
        }
    }
    return true;
}

void TFormInstaller::RemoveDeadParts(const QString& folder) {
    const QString disk = mapDrivePath(folder);
    if (disk.isEmpty() || m_cleanedFolders.contains(disk))
        return;
    m_cleanedFolders.insert(disk);
    if (openDrivePath(folder, DriveAccess::Folder).isOpen())
        ProgramReplacement::removeDeadParts(disk);
}

void TFormInstaller::FolderFailed(const QString& folder) {
    StopRun(QStringLiteral("Creating directory ") + folder + QStringLiteral(" failed!") + CR +
            Stopped);
    FTP1->Disconnect();
}

void TFormInstaller::StopRun(const QString& text) {
    ShowMessage(text);
    Report->stopped(text);
}
