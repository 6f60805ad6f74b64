#include "upgrade/cinstall.h"

#include "data/ProfileFile.h"
#include "data/Query.h"
#include "net/FtpClient.h"
#include "platform/DriveMapping.h"
#include "platform/MessageDialogs.h"
#include "upgrade/ProgramReplacement.h"
#include "upgrade/UpgradePaths.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <QVBoxLayout>
#include <optional>

TFormInstaller* FormInstaller = nullptr;

const QString TFormInstaller::FtpPassword = QStringLiteral("quorvane@workstation.invalid");

namespace {

const QString CR = QStringLiteral("\r");
const QString Stopped = QStringLiteral("Installation stoped!");
const QString VersionSection = QStringLiteral("progversion");
const QString NoVersion = QStringLiteral("0.000");

// A version text as a number; nullopt when it is none (an empty or hand-edited value).
qsizetype indexOfName(const QStringList& names, const QString& name) {
    for (qsizetype i = 0; i < names.size(); ++i)
        if (names.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

std::optional<double> versionNumber(const QString& text) {
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
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

    // The digest is read through the row's JSON form, so a central database not yet brought up
    // to date (no sha256 column) gives no digests instead of failing every sign-in.
    QueryDigests = new Query(database, this);
    QueryDigests->setSql(QStringList{
        QStringLiteral("select"),
        QStringLiteral(" b.prog_exe"),
        QStringLiteral(",b.serverpath"),
        QStringLiteral(",to_jsonb(b)->>'sha256' sha256"),
        QStringLiteral("from"),
        QStringLiteral(" quorvane.user_prog_db u, quorvane.quorvane_prog b"),
        QStringLiteral("where"),
        QStringLiteral(" b.prog_id = u.quorvane_prog_id"),
        QStringLiteral("and"),
        QStringLiteral(" u.username=user"),
        QStringLiteral("order by"),
        QStringLiteral(" b.prog_id"),
    });

    FTP1 = new TFtpClient(this);
    FTP1->Port = ftpPort();
    FTP1->ReportLevel = 0;
    FTP1->ProxyPort = 0;
    FTP1->TimeOut = 0;
    // Hashed while the bytes arrive, so checking a pinned program costs no second pass.
    FTP1->ComputeSha256 = true;

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

    const QString base = mapDrivePath(BaseFolder);
    if (base.isEmpty() || (!QFileInfo(base).isDir() && !QDir().mkdir(base))) {
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

    ExeNames.clear();
    ClientPaths.clear();
    ServerPaths.clear();
    Versions.clear();
    Digests.clear();

    Query1->open();
    for (; !Query1->eof(); Query1->next()) {
        const QString exe = Query1->fieldByName(QStringLiteral("prog_exe")).asString();
        const qsizetype found = indexOfName(installedNames, exe);
        if (found < 0) {
            AddProgram();
            continue;
        }
        // An installed version that is no number counts as not installed, so the entry is
        // repaired by the fetch instead of stopping every sign-in.
        const auto installed = versionNumber(installedVersions.at(found));
        const auto listed =
            versionNumber(Query1->fieldByName(QStringLiteral("version")).asString());
        if (!installed || (listed && *installed < *listed)) {
            AddProgram();
            continue;
        }
        const QString local = mapDrivePath(Query1->fieldByName(QStringLiteral("prog")).asString());
        if (local.isEmpty() || !QFileInfo::exists(local))
            AddProgram();
    }
    Query1->close();
    if (!ExeNames.isEmpty())
        ReadDigests();
    return ExeNames.size();
}

// A digest belongs to the remote file: the exe name on its server path. Of two rows that pin
// the same file, the lower program id counts; a row without a digest pins nothing.
void TFormInstaller::ReadDigests() {
    QueryDigests->open();
    for (; !QueryDigests->eof(); QueryDigests->next()) {
        const QString digest = QueryDigests->fieldByName(QStringLiteral("sha256")).asString();
        if (digest.isEmpty())
            continue;
        const QString exe = QueryDigests->fieldByName(QStringLiteral("prog_exe")).asString();
        const QString serverPath =
            QueryDigests->fieldByName(QStringLiteral("serverpath")).asString();
        for (qsizetype i = 0; i < ExeNames.size(); ++i)
            if (Digests.at(i).isEmpty() && ExeNames.at(i) == exe && ServerPaths.at(i) == serverPath)
                Digests[i] = digest;
    }
    QueryDigests->close();
}

void TFormInstaller::AddProgram() {
    const QString exe = Query1->fieldByName(QStringLiteral("prog_exe")).asString();
    if (ExeNames.contains(exe, Qt::CaseInsensitive))
        return;
    ExeNames << exe;
    ClientPaths << Query1->fieldByName(QStringLiteral("clientpath")).asString();
    ServerPaths << Query1->fieldByName(QStringLiteral("serverpath")).asString();
    Versions << Query1->fieldByName(QStringLiteral("version")).asString();
    Digests << QString();
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
        ShowMessage(QStringLiteral("Unable to connect to ") + host + CR + Stopped);
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
        replacement = std::make_unique<ProgramReplacement>(mapDrivePath(LocalFile));
        if (!replacement->blocked())
            break;
        const int answer = MessageDlg(
            QStringLiteral("Program ") + exe + QStringLiteral(" needs to be upgraded!") + CR +
                QStringLiteral("Installer cannot delete it because it is read-only!") + CR +
                QStringLiteral("Delete it and press Yes") + CR +
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
            FTP1->Download(remote, replacement->partPath());
            QCoreApplication::processEvents();
            CheckDigest(exe, digest);
            replacement->commit();
            Settings->writeString(VersionSection, exe, version);
        } catch (const Exception&) {
            // The old program stays in place, with its old version recorded.
            replacement->discard();
        }
    }
    StatusPanels[1]->clear();
    return Fetch::Done;
}

void TFormInstaller::CheckDigest(const QString& exe, const QString& listed) {
    const QString received = QString::fromLatin1(FTP1->ReceivedSha256());
    if (listed.isEmpty() || received == listed)
        return;
    const QString text = QStringLiteral("Program ") + exe +
                         QStringLiteral(" not installed: SHA-256 of the download is ") + received +
                         QStringLiteral(", the database lists ") + listed;
    FTP1->ReportStatus(1, text);
    throw Exception(text);
}

bool TFormInstaller::ForceDirectories(const QString& folder) {
    if (!isSafeClientFolder(folder) || mapDrivePath(folder).isEmpty()) {
        FolderFailed(folder);
        return false;
    }
    if (QFileInfo(mapDrivePath(folder)).isDir())
        return true;
    for (const QString& level : folderChain(folder)) {
        const QString path = mapDrivePath(level);
        if (path.isEmpty() || (!QFileInfo(path).isDir() && !QDir().mkdir(path))) {
            FolderFailed(level);
            return false;
        }
    }
    return true;
}

void TFormInstaller::FolderFailed(const QString& folder) {
    ShowMessage(QStringLiteral("Creating directory ") + folder + QStringLiteral(" failed!") + CR +
                Stopped);
    FTP1->Disconnect();
}
