#include "signin/QuorvaneUserLogin.h"

#include "data/Connection.h"
#include "data/ProfileFile.h"
#include "platform/Exception.h"
#include "platform/HandlerGuard.h"
#include "platform/MessageDialogs.h"
#include "signin/StarMask.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>

#include <cstdio>

TUserLoginForm* UserLoginForm = nullptr;

namespace {

const QColor Olive(128, 128, 0);

constexpr int LabelLeft = 8;
constexpr int LabelWidth = 92;
constexpr int FieldLeft = 108;
constexpr int FieldWidth = 188;
constexpr int FieldHeight = 24;

// Only a to z become capitals; every other character stays as typed.
QString upperAtoZ(const QString& text) {
    QString result = text;
    for (QChar& c : result) {
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z')) {
            c = QChar(c.unicode() - 'a' + 'A');
        }
    }
    return result;
}

} // namespace

TUserLoginForm::TUserLoginForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Quorvane login"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(312, 165);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Olive);
    pal.setColor(QPalette::Base, Olive);
    pal.setColor(QPalette::Text, Qt::white);
    pal.setColor(QPalette::WindowText, Qt::white);
    pal.setColor(QPalette::ButtonText, Qt::black);
    setPalette(pal);

    QFont bold = font();
    bold.setBold(true);

    makeLabel(QStringLiteral("Server"), 16);
    ConnComboBox = new QComboBox(this);
    ConnComboBox->setEditable(true);
    ConnComboBox->setInsertPolicy(QComboBox::NoInsert);
    ConnComboBox->setGeometry(FieldLeft, 16, FieldWidth, FieldHeight);
    ConnComboBox->setFont(bold);

    makeLabel(QStringLiteral("Login name"), 48);
    LoginEdit = new QLineEdit(this);
    LoginEdit->setGeometry(FieldLeft, 48, FieldWidth, FieldHeight);
    LoginEdit->setFont(bold);

    makeLabel(QStringLiteral("Password"), 80);
    PasswdEdit = new QLineEdit(this);
    maskWithStars(PasswdEdit);
    PasswdEdit->setGeometry(FieldLeft, 80, FieldWidth, FieldHeight);
    PasswdEdit->setFont(bold);

    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton),
                              QStringLiteral("OK"), this);
    BitBtn1->setGeometry(FieldLeft, 122, 90, 28);
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton),
                              QStringLiteral("Cancel"), this);
    BitBtn2->setGeometry(FieldLeft + FieldWidth - 90, 122, 90, 28);
    BitBtn2->setAutoDefault(false);
    for (QPushButton* button : {BitBtn1, BitBtn2}) {
        QPalette buttonPalette = button->palette();
        buttonPalette.setColor(QPalette::Button, QColor(192, 192, 192));
        buttonPalette.setColor(QPalette::ButtonText, Qt::black);
        button->setPalette(buttonPalette);
    }

    setTabOrder(ConnComboBox, LoginEdit);
    setTabOrder(LoginEdit, PasswdEdit);
    setTabOrder(PasswdEdit, BitBtn1);
    setTabOrder(BitBtn1, BitBtn2);

    connect(BitBtn1, &QPushButton::clicked, this, guarded(this, &TUserLoginForm::BitBtn1Click));
    connect(BitBtn2, &QPushButton::clicked, this, guarded(this, &TUserLoginForm::BitBtn2Click));
    FormCreate();
}

QLabel* TUserLoginForm::makeLabel(const QString& text, int top) {
    auto* label = new QLabel(text, this);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(LabelLeft, top, LabelWidth, FieldHeight);
    return label;
}

void TUserLoginForm::FormCreate() {
    LoginEdit->clear();
    PasswdEdit->clear();
}

void TUserLoginForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        guardHandler([this] { FormShow(); });
    }
    QDialog::showEvent(event);
}

void TUserLoginForm::FormShow() {
    LoginEdit->clear();
    PasswdEdit->clear();
    ProfileFile settings(SettingsFile);
    if (settings.exists()) {
        QStringList servers;
        settings.readSection(QStringLiteral("dblist"), servers);
        ConnComboBox->clear();
        ConnComboBox->addItems(servers);
        LoginEdit->setText(
            settings.readString(QStringLiteral("lastuser"), QStringLiteral("username"), QString()));
        ConnComboBox->setEditText(servers.isEmpty() ? QString() : servers.first());
    }
    if (ConnComboBox->currentText().isEmpty()) {
        ConnComboBox->setFocus();
    } else if (LoginEdit->text().isEmpty()) {
        LoginEdit->setFocus();
    } else {
        PasswdEdit->setFocus();
    }
}

void TUserLoginForm::BitBtn1Click() {
    try {
        ConnComboBox->setEditText(upperAtoZ(ConnComboBox->currentText()));
        LogonCaption.clear();
        Database->setParam(QStringLiteral("USER NAME"), LoginEdit->text());
        Database->setParam(QStringLiteral("PASSWORD"), PasswdEdit->text());
        Database->setParam(QStringLiteral("SERVER NAME"), ConnComboBox->currentText());
        Database->open();
        LogonCaption = QStringLiteral("Logged on to quorvane. User name: ") + LoginEdit->text();
        if (Database->connected()) {
            rememberSignIn();
            done(QDialog::Accepted);
        }
    } catch (const Exception& error) {
        // The box says the same whatever failed; the reason (a wrong password, a server that
        // cannot be reached, a refused certificate) goes where an administrator can read it.
        std::fprintf(stderr, "Quorvane: sign-in of %s to %s failed: %s\n",
                     qPrintable(LoginEdit->text()), qPrintable(ConnComboBox->currentText()),
                     qPrintable(error.message()));
        MessageDlg(QStringLiteral("Password or user name does not match !"), MsgKind::Information,
                   MbOk);
        Database->close();
        LogonCaption.clear();
    }
}

// The sign-in has succeeded when this runs. A new server goes to the top of the list for the
// rest of the run. A settings file that cannot be written (its folder does not exist yet on a
// new workstation) must not undo the sign-in, so a write error ends the writing quietly; the
// writes after it would fail the same way.
void TUserLoginForm::rememberSignIn() {
    const QString server = ConnComboBox->currentText();
    bool known = false;
    for (int i = 0; i < ConnComboBox->count() && !known; ++i) {
        known = ConnComboBox->itemText(i).compare(server, Qt::CaseInsensitive) == 0;
    }
    if (!known) {
        ConnComboBox->insertItem(0, server);
        ConnComboBox->setEditText(server);
    }
    try {
        ProfileFile settings(SettingsFile);
        settings.writeString(QStringLiteral("lastuser"), QStringLiteral("username"),
                             LoginEdit->text());
        if (!known) {
            for (int i = 0; i < ConnComboBox->count(); ++i) {
                settings.writeString(QStringLiteral("dblist"), ConnComboBox->itemText(i),
                                     QStringLiteral("Y"));
            }
        }
    } catch (const Exception&) {
    }
}

void TUserLoginForm::BitBtn2Click() {
    reject();
}
