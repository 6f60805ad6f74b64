#pragma once

#include <QTabBar>
#include <functional>

// The company tab strip. Unlike a plain tab bar it asks before the selection changes:
// onChange(newTab, allowChange) runs first and may refuse (or raise, which refuses too);
// only after an accepted change does the selection move and onClick run. A cleared strip has
// no selection (-1) until a tab is selected, also while tabs are being added.
class TTabSet : public QTabBar {
    Q_OBJECT
public:
    explicit TTabSet(QWidget* parent = nullptr);

    std::function<void(int newTab, bool& allowChange)> onChange;
    std::function<void()> onClick;

    int selectedIndex() const { return m_selected; }
    void clearTabs();
    void appendTab(const QString& text);
    // Selects `index` through the change and click events; nothing happens when it is
    // already selected.
    void selectTab(int index);

protected:
    // Tabs as high as the strip, so the style draws them whole, hanging from its top edge.
    QSize tabSizeHint(int index) const override;
    QSize minimumTabSizeHint(int index) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void showSelection();

    int m_selected = -1;
};
