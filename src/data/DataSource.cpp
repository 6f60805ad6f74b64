#include "data/DataSource.h"

#include "data/Dataset.h"

DataSource::DataSource(Dataset* dataset, QObject* parent) : QObject(parent) {
    setDataSet(dataset);
}

DataSource::~DataSource() {
    setDataSet(nullptr);
}

void DataSource::setDataSet(Dataset* dataset) {
    if (m_dataset == dataset)
        return;
    if (m_dataset) {
        disconnect(m_dataset, nullptr, this, nullptr);
        m_dataset->removeChangeHook(this);
    }
    m_dataset = dataset;
    if (m_dataset) {
        m_dataset->setChangeHook(this, [this] { changed(); });
        connect(m_dataset, &QObject::destroyed, this, [this] { m_dataset = nullptr; });
    }
}

void DataSource::setFollower(const QObject* owner, std::function<void()> changed) {
    removeFollower(owner);
    m_followers.emplace_back(owner, std::move(changed));
}

void DataSource::removeFollower(const QObject* owner) {
    std::erase_if(m_followers, [owner](const auto& entry) { return entry.first == owner; });
}

void DataSource::changed() {
    // A copy: a follower may change the list while it runs.
    const auto followers = m_followers;
    for (const auto& [owner, follow] : followers)
        follow();
}
