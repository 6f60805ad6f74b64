#include "launcher/GroupList.h"

#include "data/DataSource.h"
#include "data/Dataset.h"
#include "platform/HandlerGuard.h"

#include <QAbstractTableModel>
#include <QHeaderView>

// The rows of one field of a dataset, as a list model.
class DatasetColumnModel : public QAbstractTableModel {
public:
    DatasetColumnModel(DataSource* source, QString fieldName, QObject* parent)
        : QAbstractTableModel(parent), m_source(source), m_fieldName(std::move(fieldName)) {}

    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        const Dataset* data = m_source->dataSet();
        return parent.isValid() || !data || !data->active() ? 0 : data->recordCount();
    }
    int columnCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : 1;
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid() || !m_source->dataSet()) {
            return {};
        }
        return m_source->dataSet()->value(index.row(), m_fieldName).toString();
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }
    void reload() {
        beginResetModel();
        endResetModel();
    }

private:
    DataSource* m_source;
    QString m_fieldName;
};

TDBGrid::TDBGrid(DataSource* source, const QString& fieldName, int columnWidth, QWidget* parent)
    : QTableView(parent), m_source(source),
      m_model(new DatasetColumnModel(source, fieldName, this)), m_columnWidth(columnWidth) {
    setModel(m_model);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setShowGrid(false);
    setWordWrap(false);
    setTabKeyNavigation(false);
    horizontalHeader()->hide();
    verticalHeader()->hide();
    QFont font = this->font();
    font.setPointSize(12);
    setFont(font);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    horizontalHeader()->setMinimumSectionSize(1);
    setColumnWidth(0, m_columnWidth);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::Window, Qt::white);
    // The selected group stays marked while another control has the focus.
    pal.setColor(QPalette::Inactive, QPalette::Highlight,
                 pal.color(QPalette::Active, QPalette::Highlight));
    pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                 pal.color(QPalette::Active, QPalette::HighlightedText));
    setPalette(pal);

    // Moving the group re-runs the program list's query, which can fail.
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                guardHandler([this, &current] { highlightMoved(current); });
            });
    if (Dataset* data = m_source->dataSet()) {
        connect(data, &Dataset::afterOpen, this, &TDBGrid::datasetOpenedOrClosed);
        connect(data, &Dataset::afterClose, this, &TDBGrid::datasetOpenedOrClosed);
        connect(data, &Dataset::afterScroll, this, &TDBGrid::datasetMoved);
    }
}

QRect TDBGrid::rowRect(int row) const {
    return visualRect(m_model->index(row, 0));
}

void TDBGrid::datasetOpenedOrClosed() {
    m_syncing = true;
    m_model->reload();
    setColumnWidth(0, m_columnWidth);
    m_syncing = false;
    datasetMoved();
}

void TDBGrid::datasetMoved() {
    const Dataset* data = m_source->dataSet();
    const int row = data && data->active() ? data->recNo() : -1;
    m_syncing = true;
    if (row >= 0 && row < m_model->rowCount()) {
        const QModelIndex index = m_model->index(row, 0);
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                     QItemSelectionModel::Rows);
        scrollTo(index);
    } else {
        selectionModel()->clear();
    }
    m_syncing = false;
}

void TDBGrid::highlightMoved(const QModelIndex& current) {
    if (m_syncing || !current.isValid()) {
        return;
    }
    if (Dataset* data = m_source->dataSet()) {
        data->moveTo(current.row());
    }
}
