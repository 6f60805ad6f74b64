#include "toolbarconf/ToolBarConf.h"

TFormToolbarConf* FormToolbarConf = nullptr;

TFormToolbarConf::TFormToolbarConf(Connection* database, QWidget* parent)
    : QDialog(parent), m_database(database) {}
