#include "launcher/Buttrun.h"

#include "platform/HandlerGuard.h"
#include "platform/IconExtract.h"
#include "platform/ProcessStart.h"
#include "platform/WineStartProgress.h"

#include <QApplication>
#include <QIcon>
#include <QKeyEvent>

namespace {

// The icon source travels in a buffer of 256 characters, terminator included.
constexpr int MaxIconSource = 255;
constexpr int IconSize = 32;

QPixmap applicationIcon() {
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull())
        icon = QIcon(QStringLiteral(":/icons/quorvane-32.png"));
    return icon.pixmap(IconSize, IconSize);
}

// The hourglass for the time of a start; restored however the start ends.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

} // namespace

TRunImage::TRunImage(QWidget* parent) : QLabel(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    resize(IconSize, IconSize);
}

TRunButton::TRunButton(QWidget* owner) : QToolButton(owner), m_image(new TRunImage) {
    setFocusPolicy(Qt::NoFocus);
    resize(32, 32);
}

TRunButton::~TRunButton() {
    // The icon lives on the page beside the button, so Qt would not remove it with us.
    delete m_image;
}

QString TRunButton::iconSource() const {
    if (!m_iconfile.isEmpty())
        return m_iconfile;
    const qsizetype blank = m_commandLine.indexOf(QLatin1Char(' '));
    return blank < 0 ? QString() : m_commandLine.left(blank + 1);
}

void TRunButton::SetupIcon() {
    const QString source = iconSource();
    m_image->setParent(parentWidget());
    // Without a page the icon would become a window of its own.
    if (m_commandLine.isEmpty() || !parentWidget())
        return;

    QPixmap picture;
    if (source.size() <= MaxIconSource) {
        // The trailing blank of a source cut from the command line goes along.
        const ExtractedIcon icon = ExtractIconA(source, 0);
        if (icon.result > 1 && !icon.image.isNull())
            picture = QPixmap::fromImage(icon.image.scaled(
                IconSize, IconSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    if (picture.isNull())
        picture = applicationIcon();
    m_image->setPixmap(picture);
    PlaceIcon();
    m_image->show();
}

void TRunButton::PlaceIcon() {
    m_image->move(pos());
}

void TRunButton::Click() {
    WaitCursor wait;
    const unsigned result = WinExec(m_commandLine, SW_SHOWNORMAL) & 0xFFFFu;
    if (result < 32)
        throw ERunError(result);
    showWineStartProgress();
}

void TRunButton::nextCheckState() {
    endSilence();
    if (guardHandler([this] { Click(); }))
        return;
    // A failed start raises no click notification. Qt emits released() and clicked() as soon
    // as this returns, without going back to the event loop; the button is silent until then.
    blockSignals(true);
    m_silenced = true;
    QMetaObject::invokeMethod(this, &TRunButton::endSilence, Qt::QueuedConnection);
}

void TRunButton::endSilence() {
    if (!m_silenced)
        return;
    m_silenced = false;
    blockSignals(false);
}

void TRunButton::keyPressEvent(QKeyEvent* event) {
    // Enter starts a focused button as Space does.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        !event->isAutoRepeat()) {
        event->accept();
        click();
        return;
    }
    QToolButton::keyPressEvent(event);
}
