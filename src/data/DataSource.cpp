#include "data/DataSource.h"

#include "data/Dataset.h"

DataSource::DataSource(Dataset* dataset, QObject* parent) : QObject(parent) {
    setDataSet(dataset);
}

void DataSource::setDataSet(Dataset* dataset) {
    if (m_dataset == dataset)
        return;
    if (m_dataset)
        disconnect(m_dataset, nullptr, this, nullptr);
    m_dataset = dataset;
    if (m_dataset) {
        // afterScroll also follows every open, so each open, close or move is one change.
        connect(m_dataset, &Dataset::afterScroll, this, &DataSource::changed);
        connect(m_dataset, &Dataset::afterClose, this, &DataSource::changed);
        connect(m_dataset, &QObject::destroyed, this, [this] { m_dataset = nullptr; });
    }
}
