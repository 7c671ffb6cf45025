#include "caption_bar.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include <utility>

namespace {

// The measures of Qt's own Wayland decoration, so that the bar looks at home beside the
// other programs' windows: 18-pixel buttons 5 apart, 8 from the right edge, a 22-pixel icon.
constexpr int kButton = 18;
constexpr int kButtonGap = 5;
constexpr int kRightMargin = 8;
constexpr int kIcon = 22;
constexpr int kIconLeft = 8;
constexpr int kTitlePixels = 14;

} // namespace

CCaptionBar::CCaptionBar(QWidget* pWindow) : QWidget(pWindow), m_pWindow(pWindow)
{
    const Qt::WindowFlags flags = pWindow->windowFlags();
    // Without CustomizeWindowHint a window asks for the usual buttons, and of those a
    // fixed-size window keeps close; with it, only the buttons it names.
    const bool bCustom = flags.testFlag(Qt::CustomizeWindowHint);
    m_bClose = flags.testFlag(Qt::WindowCloseButtonHint) || !bCustom;
    m_bMinimize = flags.testFlag(Qt::WindowMinimizeButtonHint);

    QFont captionFont = font();
    captionFont.setPixelSize(kTitlePixels);
    setFont(captionFont);
    setGeometry(0, 0, pWindow->width(), kHeight);
    pWindow->installEventFilter(this);
}

QRect CCaptionBar::CloseRect() const
{
    return m_bClose ? QRect(width() - kRightMargin - kButton, (kHeight - kButton) / 2, kButton, kButton) : QRect();
}

QRect CCaptionBar::MinimizeRect() const
{
    if (!m_bMinimize)
        return {};
    const int right = m_bClose ? CloseRect().left() - kButtonGap : width() - kRightMargin;
    return {right - kButton, (kHeight - kButton) / 2, kButton, kButton};
}

QRect CCaptionBar::TitleSpace() const
{
    const int left = kIconLeft + kIcon + kButtonGap;
    int right = width() - kRightMargin;
    if (m_bMinimize)
        right = MinimizeRect().left();
    else if (m_bClose)
        right = CloseRect().left();
    right -= kButtonGap;
    return {left, 0, right - left, kHeight};
}

int CCaptionBar::TitleWidth() const
{
    return fontMetrics().horizontalAdvance(m_pWindow->windowTitle());
}

void CCaptionBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QPalette& pal = palette();
    p.fillRect(rect(), pal.color(QPalette::Window).darker(108));
    p.setPen(pal.color(QPalette::Mid));
    p.drawLine(0, kHeight - 1, width() - 1, kHeight - 1);

    const QIcon icon = m_pWindow->windowIcon();
    if (!icon.isNull())
        icon.paint(&p, QRect(kIconLeft, (kHeight - kIcon) / 2, kIcon, kIcon));

    const QColor ink =
        pal.color(m_pWindow->isActiveWindow() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText);
    p.setPen(ink);
    // Centred over the whole bar as other captions are, unless that would run into the icon or
    // a button; then centred in the space between them.
    const QRect space = TitleSpace();
    QRect titleRect(0, 0, width(), kHeight);
    const int nWidth = TitleWidth();
    if ((width() - nWidth) / 2 < space.left() || (width() + nWidth) / 2 > space.right())
        titleRect = space;
    p.drawText(titleRect, Qt::AlignCenter | Qt::TextSingleLine, m_pWindow->windowTitle());

    QPen pen(ink, 2);
    p.setPen(pen);
    if (m_bClose) {
        const QRectF cross = QRectF(CloseRect()).adjusted(5, 5, -5, -5);
        p.setRenderHint(QPainter::Antialiasing);
        p.drawLine(cross.topLeft(), cross.bottomRight());
        p.drawLine(cross.bottomLeft(), cross.topRight());
        p.setRenderHint(QPainter::Antialiasing, false);
    }
    if (m_bMinimize) {
        const QRect bar = MinimizeRect().adjusted(5, 5, -5, -5);
        p.drawLine(bar.bottomLeft(), bar.bottomRight());
    }
}

void CCaptionBar::mousePressEvent(QMouseEvent* pEvent)
{
    m_pressed = Button::None;
    if (pEvent->button() != Qt::LeftButton)
        return;
    const QPoint pos = pEvent->position().toPoint();
    if (CloseRect().contains(pos))
        m_pressed = Button::Close;
    else if (MinimizeRect().contains(pos))
        m_pressed = Button::Minimize;
    else if (QWindow* pHandle = m_pWindow->windowHandle())
        pHandle->startSystemMove(); // the compositor moves the window; a client cannot place it
}

void CCaptionBar::mouseReleaseEvent(QMouseEvent* pEvent)
{
    // A button acts when it is released over itself, as the platform's buttons do.
    const Button pressed = std::exchange(m_pressed, Button::None);
    const QPoint pos = pEvent->position().toPoint();
    if (pressed == Button::Close && CloseRect().contains(pos))
        m_pWindow->close(); // as the platform's close box: the window decides (the exit question)
    else if (pressed == Button::Minimize && MinimizeRect().contains(pos))
        m_pWindow->showMinimized();
}

bool CCaptionBar::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    if (pWatched == m_pWindow) {
        switch (pEvent->type()) {
        case QEvent::Resize: setGeometry(0, 0, m_pWindow->width(), kHeight); break;
        case QEvent::ActivationChange:
        case QEvent::WindowTitleChange:
        case QEvent::WindowIconChange: update(); break;
        default: break;
        }
    }
    return QWidget::eventFilter(pWatched, pEvent);
}

bool NeedsOwnCaption()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void AddOwnCaption(QWidget* pWindow)
{
    if (pWindow->findChild<CCaptionBar*>(QString(), Qt::FindDirectChildrenOnly) != nullptr)
        return;
    if (pWindow->layout() != nullptr) {
        QMargins margins = pWindow->contentsMargins();
        margins.setTop(margins.top() + CCaptionBar::kHeight);
        pWindow->setContentsMargins(margins);
    } else {
        for (QWidget* pChild : pWindow->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
            if (!pChild->isWindow())
                pChild->move(pChild->pos() + QPoint(0, CCaptionBar::kHeight));
        const QSize size = pWindow->size() + QSize(0, CCaptionBar::kHeight);
        if (pWindow->minimumSize() == pWindow->maximumSize())
            pWindow->setFixedSize(size);
        else
            pWindow->resize(size);
    }
    auto* pBar = new CCaptionBar(pWindow); // reads the flags before they change
    pBar->raise();
    pWindow->setWindowFlag(Qt::FramelessWindowHint);
}

void AddCaptionWherePlatformNeedsIt(QWidget* pWindow)
{
    if (NeedsOwnCaption())
        AddOwnCaption(pWindow);
}
