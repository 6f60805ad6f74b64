#pragma once

#include <QRect>
#include <QStyledItemDelegate>

// Draws one row of a program list as a panel: white, or the model's background colour for the
// current row; the icon stretched into 25 x 25 at (4, 4) without a border; the name in bold at
// the given place.
class ProgramRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static const QRect IconRect; // inside a panel

    struct Layout {
        int panelWidth; // 0: as wide as the view
        int panelHeight;
        QRect nameRect;    // inside a panel
        int namePointSize; // 0: the view's size
    };

    explicit ProgramRowDelegate(const Layout& layout, QObject* parent = nullptr);

    const Layout& layout() const { return m_layout; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    Layout m_layout;
};
