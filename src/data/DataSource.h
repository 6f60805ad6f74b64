#pragma once

#include <QObject>

class Dataset;

// Links a dataset to the lists that show it and to the detail queries that follow it.
// changed() fires after open, close and every move of the dataset.
class DataSource : public QObject {
    Q_OBJECT
public:
    explicit DataSource(Dataset* dataset = nullptr, QObject* parent = nullptr);
    void setDataSet(Dataset* dataset);
    Dataset* dataSet() const { return m_dataset; }

signals:
    void changed();

private:
    Dataset* m_dataset = nullptr;
};
