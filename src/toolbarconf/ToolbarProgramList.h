#pragma once

#include "data/ProgramListView.h"

// The dialog's one-column list of the bar's programs: one 32-pixel row per dataset row with
// the program's icon and its name in bold, seven rows visible, the current row highlighted.
class ToolbarProgramList : public ProgramListView {
    Q_OBJECT
public:
    static constexpr int RowHeight = 32;
    static constexpr int VisibleRows = 7;

    explicit ToolbarProgramList(DataSource* source, QWidget* parent = nullptr);
};
