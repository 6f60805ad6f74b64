#include "signin/passwd2.h"

#include "data/Connection.h"
#include "data/Query.h"
#include "platform/Exception.h"
#include "platform/HandlerGuard.h"
#include "platform/MessageDialogs.h"
#include "signin/StarMask.h"

#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>

TFormPaswd* FormPaswd = nullptr;

namespace {

// The rules compare at most this many characters of the user name and of the password.
constexpr int RuleCopyLength = 20;
constexpr int MinPasswordLength = 6;
constexpr int MaxEntryLength = 16;

// A small key on a round badge: the window icon and the two header pictures.
QPixmap keyPicture() {
    QPixmap picture(32, 32);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(128, 0, 128), 2));
    painter.setBrush(QColor(255, 215, 0));
    painter.drawEllipse(QRectF(3, 9, 14, 14));
    painter.drawRect(QRectF(16, 14, 13, 4));
    painter.drawRect(QRectF(23, 18, 3, 5));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(7, 13, 5, 6));
    return picture;
}

QLabel* makeLabel(const QString& text, QWidget* parent, int x, int y, const QFont& font) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->move(x, y);
    label->adjustSize();
    return label;
}

QLineEdit* makeEntry(QWidget* parent, int y, const QFont& font) {
    auto* entry = new QLineEdit(parent);
    entry->setFont(font);
    entry->setMaxLength(MaxEntryLength);
    maskWithStars(entry);
    entry->setGeometry(196, y, 145, 24);
    return entry;
}

} // namespace

TFormPaswd::TFormPaswd(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Change database password"));
    setWindowIcon(QIcon(keyPicture()));
    setFixedSize(362, 298);
    setModal(true);

    QFont textFont = font();
    textFont.setPixelSize(13);

    Panel1 = new QLabel(this);
    Panel1->setGeometry(0, 0, 362, 41);
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Raised);
    Panel1->setAlignment(Qt::AlignCenter);
    QFont headerFont = font();
    headerFont.setPixelSize(16);
    headerFont.setBold(true);
    Panel1->setFont(headerFont);
    QPalette headerPalette = Panel1->palette();
    headerPalette.setColor(QPalette::WindowText, QColor(128, 0, 128));
    Panel1->setPalette(headerPalette);
    Image1 = new QLabel(Panel1);
    Image1->setGeometry(4, 4, 32, 32);
    Image1->setPixmap(keyPicture());
    Image2 = new QLabel(Panel1);
    Image2->setGeometry(362 - 4 - 32, 4, 32, 32);
    Image2->setPixmap(keyPicture());

    makeLabel(QStringLiteral("Current password"), this, 16, 64, textFont);
    makeLabel(QStringLiteral("Praegune parool"), this, 16, 80, textFont);
    Edit1 = makeEntry(this, 68, textFont);
    makeLabel(QStringLiteral("New password"), this, 16, 124, textFont);
    makeLabel(QStringLiteral("Uus parool"), this, 16, 140, textFont);
    Edit2 = makeEntry(this, 128, textFont);
    makeLabel(QStringLiteral("Retype new password"), this, 16, 184, textFont);
    makeLabel(QStringLiteral("Uus parool teistkordselt"), this, 16, 200, textFont);
    Edit3 = makeEntry(this, 188, textFont);

    BitBtn1 = new QPushButton(QStringLiteral("Cancel"), this);
    BitBtn1->setGeometry(40, 250, 100, 30);
    BitBtn1->setAutoDefault(false);
    BitBtn2 = new QPushButton(QStringLiteral("OK"), this);
    BitBtn2->setGeometry(222, 250, 100, 30);
    BitBtn2->setDefault(true);
    BitBtn2->setEnabled(false);

    setTabOrder(Edit1, Edit2);
    setTabOrder(Edit2, Edit3);
    setTabOrder(Edit3, BitBtn2);
    setTabOrder(BitBtn2, BitBtn1);

    for (QLineEdit* entry : {Edit1, Edit2, Edit3}) {
        connect(entry, &QLineEdit::textChanged, this, [this] { Edit1Change(); });
    }
    connect(BitBtn1, &QPushButton::clicked, this, guarded(this, &TFormPaswd::BitBtn1Click));
    connect(BitBtn2, &QPushButton::clicked, this, guarded(this, &TFormPaswd::BitBtn2Click));
}

void TFormPaswd::ClearEntries() {
    Edit1->clear();
    Edit2->clear();
    Edit3->clear();
}

void TFormPaswd::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        guardHandler([this] { FormShow(); });
    }
}

void TFormPaswd::FormShow() {
    ClearEntries();
    Edit1->setFocus();
    Database->close();
    Database->setParam(QStringLiteral("PASSWORD"), StoredPassword);
    Database->setParam(QStringLiteral("USER NAME"), UserName);
    ServerName = Database->param(QStringLiteral("SERVER NAME"));
    try {
        Database->open();
    } catch (const Exception&) {
        ShowMessage(QStringLiteral("Unable to connect because your old passwd is wrong."));
        // The dialog may still be on its way up inside exec(); end it once the loop runs.
        setResult(Rejected);
        QMetaObject::invokeMethod(this, &TFormPaswd::reject, Qt::QueuedConnection);
        return;
    }
    Panel1->setText(UserName);
}

void TFormPaswd::Edit1Change() {
    BitBtn2->setEnabled(Edit1->text().size() >= MinPasswordLength &&
                        Edit2->text().size() >= MinPasswordLength &&
                        Edit3->text().size() >= MinPasswordLength);
}

void TFormPaswd::BitBtn1Click() {
    reject();
}

void TFormPaswd::BitBtn2Click() {
    if (CheckOldPassword() && CheckNewPassword() && ChangePassword()) {
        accept();
    }
}

bool TFormPaswd::CheckOldPassword() {
    Database->close();
    Database->setParam(QStringLiteral("PASSWORD"), Edit1->text());
    try {
        Database->open();
    } catch (const Exception&) {
        Database->close();
    }
    if (!Database->connected()) {
        ShowMessage(QStringLiteral("Password (the old one) is not correct!"));
        return false;
    }
    return true;
}

bool TFormPaswd::CheckNewPassword() {
    const QString password = Edit2->text();
    const QString lower = password.toLower().left(RuleCopyLength);
    const QString name = UserName.left(RuleCopyLength);
    if (password.size() < MinPasswordLength) {
        ShowMessage(QStringLiteral("Password too short. Must be at least 6 characters!"));
        return false;
    }
    if (password != Edit3->text()) {
        ShowMessage(QStringLiteral("You misstyped one of the new passwords, try again!"));
        return false;
    }
    if (lower.contains(QLatin1Char(' '))) {
        ShowMessage(QStringLiteral("Don't use spaces in password!"));
        return false;
    }
    if (!lower.isEmpty() && lower.front() >= QLatin1Char('0') &&
        lower.front() <= QLatin1Char('9')) {
        ShowMessage(QStringLiteral("Password must start with a letter (not number)!"));
        return false;
    }
    // An empty name is in no text, as a substring search for nothing finds nothing.
    if (!name.isEmpty() && lower.contains(name)) {
        ShowMessage(QStringLiteral("Don't use your user-name in password!"));
        return false;
    }
    if (Edit1->text() == password &&
        MessageDlg(QStringLiteral("New password is identical with the old one!\rAre You sure!"),
                   MsgKind::Warning, MbYes | MbNo) != MbYes) {
        return false;
    }
    return true;
}

bool TFormPaswd::ChangePassword() {
    const bool changed = ExecAlterUser(Edit2->text());
    if (changed) {
        ShowMessage(QStringLiteral("Your password in database ") + ServerName +
                    QStringLiteral(" has been changed!"));
    } else {
        ShowMessage(QStringLiteral("Your password in database ") + ServerName +
                    QStringLiteral("was not changed!"));
    }
    return changed;
}

bool TFormPaswd::ExecAlterUser(const QString& newPassword) {
    Query* query = statement();
    query->close();
    // The data layer puts a verifier made on this workstation in the password's place, so the
    // password shows in no server log and any text is safe here.
    query->setSql(QStringLiteral("alter user ") + UserName + QStringLiteral(" identified by ") +
                  newPassword);
    try {
        Database->startTransaction();
        query->execSql();
        Database->commit();
    } catch (const Exception&) {
        ShowMessage(QStringLiteral("Unable to change Your password in ") + ServerName +
                    QStringLiteral("\rContact SYSTEM-ADMINISTRATOR!"));
        return false;
    }
    return true;
}

void TFormPaswd::FormClose() {
    if (Database) {
        Database->close();
    }
}

void TFormPaswd::done(int result) {
    FormClose();
    // A mistyped current password may still sit in the connection; the next request must
    // reopen it as the signed-in user.
    if (result != Accepted && Database) {
        Database->setParam(QStringLiteral("PASSWORD"), StoredPassword);
    }
    QDialog::done(result);
}

Query* TFormPaswd::statement() {
    if (!Query2 || Query2->connection() != Database) {
        delete Query2;
        Query2 = new Query(Database, this);
    }
    return Query2;
}
