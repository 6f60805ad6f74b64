#include "data/ProgramListModel.h"

#include "data/DataSource.h"
#include "data/Dataset.h"
#include "platform/IconBlob.h"

#include <QColor>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>

const QColor ProgramListModel::CurrentRowColour(255, 255, 128);

ProgramListModel::ProgramListModel(DataSource* source, QObject* parent)
    : QAbstractListModel(parent), m_source(source) {
    if (Dataset* data = m_source->dataSet()) {
        connect(data, &Dataset::afterOpen, this, &ProgramListModel::datasetOpenedOrClosed);
        connect(data, &Dataset::afterClose, this, &ProgramListModel::datasetOpenedOrClosed);
        connect(data, &Dataset::afterScroll, this, &ProgramListModel::datasetMoved);
    }
    datasetOpenedOrClosed();
    datasetMoved();
}

int ProgramListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_icons.size());
}

QVariant ProgramListModel::data(const QModelIndex& index, int role) const {
    const Dataset* data = m_source->dataSet();
    if (!index.isValid() || index.row() >= rowCount() || !data || !data->active()) {
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return data->value(index.row(), QStringLiteral("PROG_NAME")).toString();
    case Qt::DecorationRole:
        return m_icons.at(index.row());
    case Qt::BackgroundRole:
        return index.row() == m_currentRow ? QVariant(CurrentRowColour) : QVariant();
    default:
        return {};
    }
}

Qt::ItemFlags ProgramListModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

QImage ProgramListModel::icon(int row) const {
    return row >= 0 && row < m_icons.size() ? m_icons.at(row) : QImage();
}

void ProgramListModel::datasetOpenedOrClosed() {
    // Icons are decoded once per open; a blob that is no bitmap just shows none.
    beginResetModel();
    m_icons.clear();
    m_currentRow = -1;
    const Dataset* data = m_source->dataSet();
    if (data && data->active()) {
        for (int row = 0; row < data->recordCount(); ++row) {
            const QByteArray blob = data->value(row, QStringLiteral("ICON")).toByteArray();
            // A blob too big to be an icon is not looked at: the application's icon stands in.
            m_icons.append(blob.size() > MaxIconBlobBytes
                               ? QGuiApplication::windowIcon().pixmap(32, 32).toImage()
                               : decodeIconBlob(blob));
        }
    }
    endResetModel();
}

void ProgramListModel::datasetMoved() {
    const Dataset* data = m_source->dataSet();
    const int row = data && data->active() && data->recNo() < rowCount() ? data->recNo() : -1;
    if (row == m_currentRow) {
        return;
    }
    const int previous = m_currentRow;
    m_currentRow = row;
    for (int changed : {previous, row}) {
        if (changed >= 0) {
            emit dataChanged(index(changed), index(changed), {Qt::BackgroundRole});
        }
    }
}
