#include "launcher/TabSet.h"

#include "platform/HandlerGuard.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QSignalBlocker>

TTabSet::TTabSet(QWidget* parent) : QTabBar(parent) {
    setShape(QTabBar::RoundedSouth);
    // The base is the line along the top edge that the tabs hang from.
    setDrawBase(true);
    setExpanding(false);
    setUsesScrollButtons(true);
    setFocusPolicy(Qt::NoFocus);
    // The strip is 18 pixels high; the tab texts use the small type that fits it.
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
}

QSize TTabSet::tabSizeHint(int index) const {
    QSize size = QTabBar::tabSizeHint(index);
    size.setHeight(qMax(1, height()));
    return size;
}

QSize TTabSet::minimumTabSizeHint(int index) const {
    QSize size = QTabBar::minimumTabSizeHint(index);
    size.setHeight(qMax(1, height()));
    return size;
}

void TTabSet::clearTabs() {
    const QSignalBlocker blocker(this);
    while (count() > 0) {
        removeTab(count() - 1);
    }
    m_selected = -1;
}

void TTabSet::appendTab(const QString& text) {
    const QSignalBlocker blocker(this);
    addTab(text);
    // The bar marks its first tab on its own; the strip has no selection until selectTab.
    showSelection();
}

void TTabSet::selectTab(int index) {
    if (index == m_selected || index < 0 || index >= count()) {
        return;
    }
    bool allowChange = true;
    if (onChange) {
        onChange(index, allowChange);
    }
    if (!allowChange) {
        return;
    }
    m_selected = index;
    showSelection();
    if (onClick) {
        onClick();
    }
}

void TTabSet::showSelection() {
    const QSignalBlocker blocker(this);
    setCurrentIndex(m_selected >= 0 ? m_selected : 0);
}

void TTabSet::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const int index = tabAt(event->position().toPoint());
        guardHandler([this, index] { selectTab(index); });
    }
    event->accept();
}

void TTabSet::keyPressEvent(QKeyEvent* event) {
    // The strip takes no focus; arrow keys that reach it move nothing on their own.
    event->ignore();
}

void TTabSet::wheelEvent(QWheelEvent* event) {
    event->ignore();
}
