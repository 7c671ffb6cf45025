// Partial repaints against full ones: after any sequence of changes, painting only where the
// canvas finds a difference gives the pixels of a paint of the whole client area.

#include "panel_canvas.h"
#include "window_rig.h"

#include <gtest/gtest.h>

#include <random>

TEST(PartialPaintTest, RandomChangesAndExposuresMatchAFullRepaint)
{
    CWindowRig rig;
    rig.Init();
    CPanelCanvas& canvas = *rig.dlg.Canvas();
    CPanelModel& model = rig.Model();
    ASSERT_FALSE(model.m_link.m_bOpen); // demonstration mode: the status line is drawn
    QImage shown(canvas.size(), QImage::Format_RGB32);
    canvas.render(&shown);

    std::mt19937 rng(20);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const QString chars = QStringLiteral(" AMWgjy_|#@0-.\u00c4\u00df\u00ff");
    auto text = [&](int nMax) {
        QString s;
        for (int n = pick(nMax + 1); n > 0; --n)
            s += chars[pick(static_cast<int>(chars.size()))];
        return s;
    };
    for (int step = 0; step < 600; ++step) {
        for (int nAction = 1 + pick(3); nAction > 0; --nAction) {
            switch (pick(7)) {
            case 0: model.m_led[pick(kKeyCount)] = static_cast<uint8_t>(pick(3)); break;
            case 1: model.m_bBlink = !model.m_bBlink; break;
            case 2: model.ApplyReport(static_cast<uint8_t>('0' + pick(kKeyCount + 1))); break;
            case 3: model.m_strRow[pick(kLcdRows)] = text(kLcdColumns); break;
            case 4: (pick(2) ? model.m_chSwitch1 : model.m_chSwitch2) = static_cast<int8_t>(pick(256)); break;
            case 5: model.m_strStatus = text(30); break;
            default: {
                // The window system asks for part of the window, whatever changed meanwhile.
                const QRect exposed(pick(kClientWidth), pick(kClientHeight), 1 + pick(200), 1 + pick(200));
                canvas.render(&shown, exposed.topLeft(), QRegion(exposed));
                break;
            }
            }
        }
        // An empty region would render the whole widget.
        const QRegion dirty = canvas.DirtyRegion();
        if (!dirty.isEmpty())
            canvas.render(&shown, dirty.boundingRect().topLeft(), dirty);
        QImage full(canvas.size(), QImage::Format_RGB32);
        canvas.render(&full);
        if (shown != full) {
            QRect wrong;
            for (int y = 0; y < full.height(); ++y)
                for (int x = 0; x < full.width(); ++x)
                    if (shown.pixel(x, y) != full.pixel(x, y))
                        wrong |= QRect(x, y, 1, 1);
            FAIL() << "step " << step << ": stale pixels in " << wrong.x() << "," << wrong.y() << " " << wrong.width()
                   << "x" << wrong.height();
        }
        ASSERT_TRUE(canvas.DirtyRegion().isEmpty()) << "step " << step;
    }
}
