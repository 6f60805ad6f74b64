#pragma once

#include <QDialog>
#include <QString>

class Connection;
class QLineEdit;

// The password change dialog. The main window sets UserName, StoredPassword and Database
// before showing it modally; after OK, Edit2 holds the new password.
class TFormPaswd : public QDialog {
    Q_OBJECT
public:
    explicit TFormPaswd(QWidget* parent = nullptr);

    QString UserName;
    QString StoredPassword;
    Connection* Database = nullptr;

    QLineEdit* Edit1 = nullptr; // current password
    QLineEdit* Edit2 = nullptr; // new password
    QLineEdit* Edit3 = nullptr; // new password again

    void ClearEntries();
};

extern TFormPaswd* FormPaswd;
