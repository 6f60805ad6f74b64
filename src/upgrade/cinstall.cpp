#include "upgrade/cinstall.h"

#include "data/ProfileFile.h"
#include "data/Query.h"
#include "net/FtpClient.h"
#include "platform/DriveMapping.h"
#include "platform/MessageDialogs.h"
#include "upgrade/OutdatedPrograms.h"
#include "upgrade/ProgramReplacement.h"
#include "upgrade/UpgradePaths.h"
#include "upgrade/UpgradeReport.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QScopeGuard>
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
};

// Only the columns used, for the user's programs of type 1, so the server reads them through
// the indexes and hashes no whole program rows. A column not among the server's `columns`
// reads as null.
QStringList DigestsSql(const QStringList& columns) {
    QStringList sql{QStringLiteral("select"), QStringLiteral(" b.prog_exe"),
                    QStringLiteral(",b.clientpath")};
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

    // Only when something is outdated; ReadDigests names the columns the server has.
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
    ExeNames.clear();
    ClientPaths.clear();
    ServerPaths.clear();
    Versions.clear();
    Digests.clear();
    Settings = std::make_unique<ProfileFile>(BaseFolder + QStringLiteral("\\quorvane.ini"));
}

void TFormInstaller::FormDestroy() {
    ExeNames.clear();
    ClientPaths.clear();
    ServerPaths.clear();
    Versions.clear();
    Digests.clear();
    Settings.reset();
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
    for (; !Query1->eof(); Query1->next()) {
        const QString exe = Query1->fieldByName(QStringLiteral("prog_exe")).asString();
        const auto row =
            outdated.addRow(exe, Query1->fieldByName(QStringLiteral("clientpath")).asString(),
                            Query1->fieldByName(QStringLiteral("serverpath")).asString(),
                            Query1->fieldByName(QStringLiteral("version")).asString(),
                            Query1->fieldByName(QStringLiteral("prog")).asString());
        if (row == OutdatedPrograms::Row::Skipped)
            continue;
        Report->listed(exe, outdated.installedVersion(exe));
        if (row == OutdatedPrograms::Row::Added)
            Report->outdated(exe);
    }
    Query1->close();
    // A launcher killed mid-download leaves its part file behind; every folder the check
    // looked at is cleared of them, also those nothing is fetched into this time.
    m_cleanedFolders.clear();
    for (const QString& folder : outdated.folders())
        RemoveDeadParts(folder);
    if (!outdated.exeNames.isEmpty())
        ReadDigests(outdated);
    ExeNames = outdated.exeNames;
    ClientPaths = outdated.clientPaths;
    ServerPaths = outdated.serverPaths;
    Versions = outdated.versions;
    Digests = outdated.digests();
    return ExeNames.size();
}

// A digest pins the local file a row installs to; of all the user's rows for that file, any
// one that carries a digest pins it. A central database not yet brought up to date lacks some
// of the columns: those read as null, instead of failing every sign-in.
void TFormInstaller::ReadDigests(OutdatedPrograms& outdated) {
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
    for (; !QueryDigests->eof(); QueryDigests->next())
        outdated.addDigest(QueryDigests->fieldByName(QStringLiteral("prog_exe")).asString(),
                           QueryDigests->fieldByName(QStringLiteral("clientpath")).asString(),
                           QueryDigests->fieldByName(QStringLiteral("sha256")).asString());
    QueryDigests->close();
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
    ProgressBar1->setMaximum(ExeNames.size());

    m_recorded.clear();
    QString previousHost = QStringLiteral("...");
    for (int i = 0; i < ExeNames.size(); ++i) {
        const QString host = serverHost(ServerPaths.at(i));
        if (host != previousHost) {
            if (!OpenConnection(host))
                break;
            previousHost = host;
        }
        if (FetchEntry(i, host) == Fetch::FolderFailed)
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

TFormInstaller::Fetch TFormInstaller::FetchEntry(int index, const QString& host) {
    const QString exe = ExeNames.at(index);
    const QString folder = ClientPaths.at(index);
    const QString serverPath = ServerPaths.at(index);
    const QString version = Versions.at(index);
    const QString digest = Digests.at(index);

    StatusPanels[1]->setText(QStringLiteral("retrieving ") + host + QStringLiteral("://") + exe +
                             QStringLiteral("->") + exe);
    bool skip = false;
    QString remote;
    std::unique_ptr<ProgramReplacement> replacement;
    for (;;) {
        remote = remoteFileName(serverPath, host, exe);
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
        try {
            FTP1->Host = host;
            FTP1->SetTransferType(2);
            FTP1->LocalHandle = replacement->createPart();
            const auto handed = qScopeGuard([this] { FTP1->LocalHandle = -1; });
            QElapsedTimer fetching;
            fetching.start();
            FTP1->Download(remote, replacement->partPath());
            const qint64 fetchMs = fetching.elapsed();
            QCoreApplication::processEvents();
            CheckDigest(exe, digest);
            replacement->commit();
            Settings->writeString(VersionSection, exe, VersionToRecord(exe, version));
            Report->fetched(exe, version, QString::fromLatin1(FTP1->ReceivedSha256()),
                            FTP1->TransferSize, fetchMs);
        } catch (const Exception& error) {
            // The old program stays in place, with its old version recorded.
            replacement->discard();
            Report->failed(exe, error.message());
        }
    } else {
        Report->failed(exe, readOnlyText(exe));
    }
    StatusPanels[1]->clear();
    return Fetch::Done;
}

void TFormInstaller::CheckDigest(const QString& exe, const QString& listed) {
    const QString received = QString::fromLatin1(FTP1->ReceivedSha256());
    if (listed.isEmpty() || listed.split(QLatin1Char(' ')).contains(received))
        return;
    const QString text = QStringLiteral("Program ") + exe +
                         QStringLiteral(" not installed: SHA-256 of the download is ") + received +
                         QStringLiteral(", the database lists ") + listed;
    FTP1->ReportStatus(1, text);
    Report->refused(exe, received);
    throw Exception(text);
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

QString TFormInstaller::VersionToRecord(const QString& exe, const QString& version) {
    bool number = false;
    const double value = version.toDouble(&number);
    const QString key = exe.toCaseFolded();
    const auto earlier = m_recorded.constFind(key);
    if (earlier != m_recorded.cend() && (!number || earlier->second > value))
        return earlier->first;
    if (number)
        m_recorded.insert(key, {version, value});
    return version;
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
