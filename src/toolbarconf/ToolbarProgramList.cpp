#include "toolbarconf/ToolbarProgramList.h"

ToolbarProgramList::ToolbarProgramList(DataSource* source, QWidget* parent)
    : ProgramListView(source, {0, RowHeight, QRect(36, 8, 200, 17), 0}, parent) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setAccessibleName(QStringLiteral("Toolbar buttons"));
}
