#include "toolbarconf/ToolbarProgramList.h"

#include "data/DataSource.h"
#include "data/Dataset.h"
#include "platform/IconBlob.h"

#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

namespace {

const QColor CurrentRowColour(255, 255, 128);

} // namespace

ToolbarProgramList::ToolbarProgramList(DataSource* source, QWidget* parent)
    : QAbstractScrollArea(parent), m_source(source) {
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QPalette colours = viewport()->palette();
    colours.setColor(QPalette::Window, Qt::white);
    viewport()->setPalette(colours);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(RowHeight);
    verticalScrollBar()->setPageStep(RowHeight * VisibleRows);
    connect(m_source, &DataSource::changed, this, &ToolbarProgramList::datasetChanged);
    // A query that runs again without closing first still brings new rows.
    if (m_source->dataSet()) {
        connect(m_source->dataSet(), &Dataset::afterOpen, this, [this] { m_iconsValid = false; });
    }
}

int ToolbarProgramList::rowAt(const QPoint& point) const {
    const Dataset* dataset = m_source->dataSet();
    if (!dataset || !dataset->active() || point.y() < 0) {
        return -1;
    }
    const int row = (point.y() + verticalScrollBar()->value()) / RowHeight;
    return row < dataset->recordCount() ? row : -1;
}

void ToolbarProgramList::datasetChanged() {
    const Dataset* dataset = m_source->dataSet();
    if (!dataset || !dataset->active()) {
        m_icons.clear();
        m_iconsValid = false;
    } else if (!m_iconsValid) {
        m_icons.clear();
        for (int row = 0; row < dataset->recordCount(); ++row) {
            m_icons.append(QPixmap::fromImage(
                decodeIconBlob(dataset->value(row, QStringLiteral("ICON")).toByteArray())));
        }
        m_iconsValid = true;
    }
    updateScrollBar();
    if (dataset && dataset->recNo() >= 0) {
        QScrollBar* bar = verticalScrollBar();
        const int top = dataset->recNo() * RowHeight;
        if (top < bar->value()) {
            bar->setValue(top);
        } else if (top + RowHeight > bar->value() + viewport()->height()) {
            bar->setValue(top + RowHeight - viewport()->height());
        }
    }
    viewport()->update();
}

void ToolbarProgramList::updateScrollBar() {
    const Dataset* dataset = m_source->dataSet();
    const int rows = dataset && dataset->active() ? dataset->recordCount() : 0;
    verticalScrollBar()->setRange(0, qMax(0, rows * RowHeight - viewport()->height()));
}

void ToolbarProgramList::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBar();
}

void ToolbarProgramList::paintEvent(QPaintEvent*) {
    const Dataset* dataset = m_source->dataSet();
    if (!dataset || !dataset->active()) {
        return;
    }
    QPainter painter(viewport());
    QFont bold = font();
    bold.setBold(true);
    painter.setFont(bold);
    const int offset = verticalScrollBar()->value();
    const int width = viewport()->width();
    for (int row = offset / RowHeight; row < dataset->recordCount(); ++row) {
        const int top = row * RowHeight - offset;
        if (top >= viewport()->height()) {
            break;
        }
        if (row == dataset->recNo()) {
            painter.fillRect(0, top, width, RowHeight, CurrentRowColour);
        }
        if (row < m_icons.size() && !m_icons.at(row).isNull()) {
            painter.drawPixmap(QRect(4, top + 4, 25, 25), m_icons.at(row));
        }
        const QString name = dataset->value(row, QStringLiteral("PROG_NAME")).toString();
        painter.drawText(QRect(36, top + 8, width - 40, RowHeight - 8),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, name);
    }
}

void ToolbarProgramList::mousePressEvent(QMouseEvent* event) {
    const int row = rowAt(event->position().toPoint());
    Dataset* dataset = m_source->dataSet();
    if (row >= 0 && dataset) {
        dataset->moveTo(row);
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void ToolbarProgramList::keyPressEvent(QKeyEvent* event) {
    Dataset* dataset = m_source->dataSet();
    if (dataset && dataset->active() && event->key() == Qt::Key_Down) {
        dataset->next();
    } else if (dataset && dataset->active() && event->key() == Qt::Key_Up) {
        dataset->prior();
    } else {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    viewport()->update();
}
