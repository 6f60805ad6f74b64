#pragma once

#include <QObject>
#include <functional>
#include <utility>
#include <vector>

class Dataset;

// Links a dataset to the detail queries that follow it: each is called after every open,
// close and move of the dataset, as a plain call (a detail's statement may raise).
class DataSource : public QObject {
    Q_OBJECT
public:
    explicit DataSource(Dataset* dataset = nullptr, QObject* parent = nullptr);
    ~DataSource() override;
    void setDataSet(Dataset* dataset);
    Dataset* dataSet() const { return m_dataset; }

    // One follower per owner; the owner removes itself before it goes.
    void setFollower(const QObject* owner, std::function<void()> changed);
    void removeFollower(const QObject* owner);

private:
    void changed();

    Dataset* m_dataset = nullptr;
    std::vector<std::pair<const QObject*, std::function<void()>>> m_followers;
};
