#include "platform/WineStartProgress.h"

#include "platform/WinePrefix.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace {

constexpr int PollMs = 250;
constexpr int LongestMs = 60000;

} // namespace

void showWineStartProgress() {
    static QTimer* watch = nullptr;
    if (watch != nullptr || !WinePrefix::preparing())
        return;
    // A widget cursor, not the application's override: the override belongs to the wait of
    // the start itself, and under this one the windows take clicks and keys as usual.
    QList<QPointer<QWidget>> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && window->cursor().shape() == Qt::ArrowCursor) {
            window->setCursor(Qt::BusyCursor);
            windows.append(window);
        }
    }
    watch = new QTimer(qApp);
    const QDeadlineTimer deadline(LongestMs);
    QObject::connect(watch, &QTimer::timeout, watch, [windows, deadline] {
        if (WinePrefix::preparing() && !deadline.hasExpired())
            return;
        for (const QPointer<QWidget>& window : windows)
            if (window)
                window->unsetCursor();
        watch->deleteLater();
        watch = nullptr;
    });
    watch->start(PollMs);
}
