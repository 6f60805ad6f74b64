#include "launcher/ProgramList.h"

#include "data/DataSource.h"
#include "data/Dataset.h"
#include "platform/IconBlob.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

namespace {
const QColor CurrentPanelColor(255, 255, 128); // the colour value 8454143
}

const QRect TDBCtrlGrid::ImageRect(4, 4, 25, 25);
const QRect TDBCtrlGrid::TextRect(36, 8, 193, 17);

TDBCtrlGrid::TDBCtrlGrid(DataSource* source, QWidget* parent)
    : QAbstractScrollArea(parent), m_source(source) {
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    QPalette pal = viewport()->palette();
    pal.setColor(QPalette::Window, Qt::white);
    viewport()->setPalette(pal);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(1);
    verticalScrollBar()->setPageStep(RowCount);
    if (Dataset* data = m_source->dataSet()) {
        connect(data, &Dataset::afterOpen, this, &TDBCtrlGrid::datasetOpenedOrClosed);
        connect(data, &Dataset::afterClose, this, &TDBCtrlGrid::datasetOpenedOrClosed);
        connect(data, &Dataset::afterScroll, this, &TDBCtrlGrid::datasetMoved);
    }
    updateScrollRange();
}

int TDBCtrlGrid::rows() const {
    const Dataset* data = m_source->dataSet();
    return data && data->active() ? data->recordCount() : 0;
}

int TDBCtrlGrid::topRow() const {
    return verticalScrollBar()->value();
}

QRect TDBCtrlGrid::panelRect(int row) const {
    return QRect(0, (row - topRow()) * PanelHeight, PanelWidth, PanelHeight);
}

QRect TDBCtrlGrid::imageRect(int row) const {
    return ImageRect.translated(panelRect(row).topLeft());
}

QRect TDBCtrlGrid::textRect(int row) const {
    return TextRect.translated(panelRect(row).topLeft());
}

QImage TDBCtrlGrid::icon(int row) const {
    return row >= 0 && row < m_icons.size() ? m_icons.at(row) : QImage();
}

int TDBCtrlGrid::rowAt(const QPoint& pos) const {
    if (pos.x() < 0 || pos.x() >= PanelWidth || pos.y() < 0) {
        return -1;
    }
    const int row = topRow() + pos.y() / PanelHeight;
    return row < rows() ? row : -1;
}

void TDBCtrlGrid::updateScrollRange() {
    verticalScrollBar()->setRange(0, qMax(0, rows() - RowCount));
}

void TDBCtrlGrid::datasetOpenedOrClosed() {
    // Icons are decoded once per open; a blob that is no bitmap just shows none.
    m_icons.clear();
    const Dataset* data = m_source->dataSet();
    for (int row = 0; row < rows(); ++row) {
        m_icons.append(decodeIconBlob(data->value(row, QStringLiteral("ICON")).toByteArray()));
    }
    updateScrollRange();
    verticalScrollBar()->setValue(0);
    viewport()->update();
}

void TDBCtrlGrid::datasetMoved() {
    const Dataset* data = m_source->dataSet();
    const int row = data && data->active() ? data->recNo() : -1;
    if (row >= 0) {
        if (row < topRow()) {
            verticalScrollBar()->setValue(row);
        } else if (row >= topRow() + RowCount) {
            verticalScrollBar()->setValue(row - RowCount + 1);
        }
    }
    viewport()->update();
}

void TDBCtrlGrid::scrollContentsBy(int, int) {
    viewport()->update();
}

void TDBCtrlGrid::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), Qt::white);
    const Dataset* data = m_source->dataSet();
    if (!data || !data->active()) {
        return;
    }
    QFont nameFont = font();
    nameFont.setPointSize(10);
    nameFont.setBold(true);
    painter.setFont(nameFont);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const int last = qMin(rows(), topRow() + RowCount + 1);
    for (int row = topRow(); row < last; ++row) {
        if (row == data->recNo()) {
            painter.fillRect(panelRect(row), CurrentPanelColor);
        }
        const QImage& image = m_icons.at(row);
        if (!image.isNull()) {
            painter.drawImage(imageRect(row), image);
        }
        painter.setPen(Qt::black);
        painter.drawText(textRect(row), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                         data->value(row, QStringLiteral("PROG_NAME")).toString());
    }
}

int TDBCtrlGrid::makeCurrentUnder(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return -1;
    }
    const int row = rowAt(event->position().toPoint());
    if (row < 0) {
        return -1;
    }
    if (Dataset* data = m_source->dataSet()) {
        data->moveTo(row);
    }
    return row;
}

void TDBCtrlGrid::mousePressEvent(QMouseEvent* event) {
    const int row = makeCurrentUnder(event);
    if (row < 0) {
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const QPoint pos = event->position().toPoint();
    if (imageRect(row).contains(pos)) {
        emit iconPressed();
    }
}

void TDBCtrlGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    const int row = makeCurrentUnder(event);
    if (row < 0) {
        return;
    }
    const QPoint pos = event->position().toPoint();
    if (textRect(row).contains(pos)) {
        emit nameDoubleClicked();
    } else if (imageRect(row).contains(pos)) {
        // The second press on the icon starts a drag again, as every press on it does.
        emit iconPressed();
    }
}

void TDBCtrlGrid::keyPressEvent(QKeyEvent* event) {
    Dataset* data = m_source->dataSet();
    if (!data || !data->active()) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Down:
        data->next();
        break;
    case Qt::Key_Up:
        data->prior();
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}
