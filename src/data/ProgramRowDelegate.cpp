#include "data/ProgramRowDelegate.h"

#include <QImage>
#include <QPainter>

const QRect ProgramRowDelegate::IconRect(4, 4, 25, 25);

ProgramRowDelegate::ProgramRowDelegate(const Layout& layout, QObject* parent)
    : QStyledItemDelegate(parent), m_layout(layout) {}

void ProgramRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    QRect panel = option.rect;
    if (m_layout.panelWidth > 0) {
        panel.setWidth(m_layout.panelWidth);
    }
    painter->save();
    painter->fillRect(option.rect, Qt::white);
    const QVariant background = index.data(Qt::BackgroundRole);
    if (background.canConvert<QColor>()) {
        painter->fillRect(panel, background.value<QColor>());
    }
    const QImage icon = index.data(Qt::DecorationRole).value<QImage>();
    if (!icon.isNull()) {
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        painter->drawImage(IconRect.translated(panel.topLeft()), icon);
    }
    QFont name = option.font;
    name.setBold(true);
    if (m_layout.namePointSize > 0) {
        name.setPointSize(m_layout.namePointSize);
    }
    painter->setFont(name);
    painter->setPen(Qt::black);
    painter->drawText(m_layout.nameRect.translated(panel.topLeft()),
                      Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                      index.data(Qt::DisplayRole).toString());
    painter->restore();
}

QSize ProgramRowDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    // A list of one column stretches its rows to its width; 1 only keeps the row valid.
    return QSize(qMax(1, m_layout.panelWidth), m_layout.panelHeight);
}
