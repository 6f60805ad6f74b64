#include "launcher/ProgramList.h"

#include <QKeyEvent>
#include <QMouseEvent>

TDBCtrlGrid::TDBCtrlGrid(DataSource* source, QWidget* parent)
    : ProgramListView(source, {PanelWidth, PanelHeight, QRect(36, 8, 193, 17), 10}, parent) {
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setAccessibleName(QStringLiteral("Programs"));
}

void TDBCtrlGrid::mousePressEvent(QMouseEvent* event) {
    // The view makes the row under the press current (which moves the dataset) first.
    ProgramListView::mousePressEvent(event);
    const QPoint pos = event->position().toPoint();
    const int row = rowAt(pos);
    if (event->button() == Qt::LeftButton && row >= 0 && imageRect(row).contains(pos)) {
        emit iconPressed();
    }
}

void TDBCtrlGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    const int row = rowAt(pos);
    if (event->button() != Qt::LeftButton || row < 0) {
        ProgramListView::mouseDoubleClickEvent(event);
        return;
    }
    setCurrentIndex(model()->index(row, 0));
    event->accept();
    if (textRect(row).contains(pos)) {
        emit nameDoubleClicked();
    } else if (imageRect(row).contains(pos)) {
        // The second press on the icon starts a drag again, as every press on it does.
        emit iconPressed();
    }
}

void TDBCtrlGrid::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        currentIndex().isValid()) {
        event->accept();
        emit nameDoubleClicked();
        return;
    }
    ProgramListView::keyPressEvent(event);
}
