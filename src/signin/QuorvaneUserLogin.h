#pragma once

#include <QDialog>
#include <QString>

class Connection;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The login dialog: server, login name and password into the one shared connection, which it
// opens. Its two entry fields stay the holders of the signed-in name and password after it
// has closed.
class TUserLoginForm : public QDialog {
    Q_OBJECT
public:
    static inline const QString SettingsFile = QStringLiteral("c:\\quorvane3\\quorvane.ini");

    explicit TUserLoginForm(QWidget* parent = nullptr);

    // Set by the main window before every showing; never owned here.
    Connection* Database = nullptr;
    // "Logged on to quorvane. User name: " and the login name after a successful sign-in.
    QString LogonCaption;

    QComboBox* ConnComboBox = nullptr;
    QLineEdit* LoginEdit = nullptr;
    QLineEdit* PasswdEdit = nullptr;
    QPushButton* BitBtn1 = nullptr; // OK
    QPushButton* BitBtn2 = nullptr; // Cancel

    void FormCreate();
    void FormShow();
    void BitBtn1Click();
    void BitBtn2Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLabel* makeLabel(const QString& text, int top);
    void rememberSignIn();
};

extern TUserLoginForm* UserLoginForm;
