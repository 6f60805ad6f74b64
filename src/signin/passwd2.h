#pragma once

#include <QDialog>
#include <QString>

class Connection;
class Query;
class QLabel;
class QLineEdit;
class QPushButton;

// The password change dialog. The main window sets UserName, StoredPassword and Database
// before showing it modally; after OK, Edit2 holds the new password.
class TFormPaswd : public QDialog {
    Q_OBJECT
public:
    explicit TFormPaswd(QWidget* parent = nullptr);

    QString UserName;
    QString StoredPassword;
    Connection* Database = nullptr;
    // The connection's "SERVER NAME", read at show, used in the messages.
    QString ServerName;

    QLabel* Panel1 = nullptr; // header: the user name between two pictures
    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    QLineEdit* Edit1 = nullptr;     // current password
    QLineEdit* Edit2 = nullptr;     // new password
    QLineEdit* Edit3 = nullptr;     // new password again
    QPushButton* BitBtn1 = nullptr; // Cancel
    QPushButton* BitBtn2 = nullptr; // OK
    // The statement object of the one "alter user"; follows Database.
    Query* Query2 = nullptr;

    void ClearEntries();

    // Handlers.
    void FormShow();
    void Edit1Change();
    void BitBtn1Click();
    void BitBtn2Click();
    void FormClose();

    // The three stages of OK; each shows its own messages and tells whether it passed.
    bool CheckOldPassword();
    bool CheckNewPassword();
    bool ChangePassword();
    bool ExecAlterUser(const QString& newPassword);

    // Closing without OK, by any way, ends here as well as through the buttons.
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    Query* statement();
};

extern TFormPaswd* FormPaswd;
