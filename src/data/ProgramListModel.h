#pragma once

#include <QAbstractListModel>
#include <QImage>
#include <QVector>

class DataSource;

// The rows of a program query (PROG_NAME, ICON) as a list model: the name as the display and
// accessible text, the decoded icon as the decoration, and the dataset's current row marked
// by its background colour, so every view of it shows the same current row.
class ProgramListModel : public QAbstractListModel {
    Q_OBJECT
public:
    static const QColor CurrentRowColour; // the colour value 8454143

    explicit ProgramListModel(DataSource* source, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The icon of a row (null: none or no such row).
    QImage icon(int row) const;

private:
    void datasetOpenedOrClosed();
    void datasetMoved();

    DataSource* m_source;
    QVector<QImage> m_icons;
    int m_currentRow = -1;
};
