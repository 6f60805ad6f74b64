#include "data/ProgramListView.h"

#include "data/DataSource.h"
#include "data/Dataset.h"
#include "data/ProgramListModel.h"
#include "platform/HandlerGuard.h"

ProgramListView::ProgramListView(DataSource* source, const ProgramRowDelegate::Layout& layout,
                                 QWidget* parent)
    : QListView(parent), m_source(source), m_model(new ProgramListModel(source, this)),
      m_delegate(new ProgramRowDelegate(layout, this)) {
    setModel(m_model);
    setItemDelegate(m_delegate);
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setDragEnabled(false);
    setFocusPolicy(Qt::StrongFocus);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::white);
    setPalette(pal);
    // Moving the dataset runs its detail queries, whose errors must end here, not in Qt's
    // selection code.
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                guardHandler([this, &current] { currentMoved(current); });
            });
    // The model hears the dataset first (it was connected first), so its rows are new here.
    if (Dataset* data = m_source->dataSet()) {
        connect(data, &Dataset::afterScroll, this, &ProgramListView::datasetMoved);
    }
}

QRect ProgramListView::panelRect(int row) const {
    QRect rect = visualRect(m_model->index(row));
    if (rect.isValid()) {
        rect.setWidth(m_delegate->layout().panelWidth > 0 ? m_delegate->layout().panelWidth
                                                          : viewport()->width());
    }
    return rect;
}

QRect ProgramListView::imageRect(int row) const {
    return ProgramRowDelegate::IconRect.translated(panelRect(row).topLeft());
}

QRect ProgramListView::textRect(int row) const {
    return m_delegate->layout().nameRect.translated(panelRect(row).topLeft());
}

int ProgramListView::rowAt(const QPoint& pos) const {
    const QModelIndex index = indexAt(pos);
    return index.isValid() && panelRect(index.row()).contains(pos) ? index.row() : -1;
}

QImage ProgramListView::icon(int row) const {
    return m_model->icon(row);
}

void ProgramListView::datasetMoved() {
    const Dataset* data = m_source->dataSet();
    const int row = data && data->active() ? data->recNo() : -1;
    m_syncing = true;
    if (row >= 0 && row < m_model->rowCount()) {
        const QModelIndex index = m_model->index(row);
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
        scrollTo(index);
    } else {
        selectionModel()->clear();
    }
    m_syncing = false;
}

void ProgramListView::currentMoved(const QModelIndex& current) {
    if (m_syncing || !current.isValid()) {
        return;
    }
    if (Dataset* data = m_source->dataSet()) {
        data->moveTo(current.row());
    }
}
