#include "signin/passwd2.h"

#include <QLineEdit>

TFormPaswd* FormPaswd = nullptr;

TFormPaswd::TFormPaswd(QWidget* parent) : QDialog(parent) {
    Edit1 = new QLineEdit(this);
    Edit2 = new QLineEdit(this);
    Edit3 = new QLineEdit(this);
}

void TFormPaswd::ClearEntries() {
    Edit1->clear();
    Edit2->clear();
    Edit3->clear();
}
