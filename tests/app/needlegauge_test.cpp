#include "needlegauge.h"

#include <QFontMetrics>
#include <QImage>
#include <QPixmap>

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(GaugePercent, TruncatesTheShareOfTheRange)
{
    struct Case {
        int min, max, progress, percent;
    };
    const Case cases[] = {
        {0, 100, 0, 0},
        {0, 100, 37, 37},
        {0, 100, 100, 100},
        {0, 3, 1, 33},
        {0, 3, 2, 66}, // truncated, not rounded
        {0, 1000, 9, 0},
        {10, 20, 15, 50},
        {-100, 100, 0, 50},
        {0, 0, 0, 0}, // an empty range shows 0 %
        {5, 5, 5, 0},
        {0, 2000000000, 1999999999, 99}, // 100 × progress would overflow 32 bits
        {INT_MIN, INT_MAX, 0, 50},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GaugePercent(c.min, c.max, c.progress), c.percent)
            << c.min << ".." << c.max << " at " << c.progress;
}

TEST(GaugeGeometry, NeedleSweepsTheDialFromLeftThroughUpToRight)
{
    // The window's gauge: 433 × 193, so the inside is 431 × 191, the dial's half
    // axes are 215 and 190, and the needle turns about (216, 191).
    const QSize size(433, 193);
    const QSize text(40, 28);
    struct Case {
        int progress;
        bool needle;
        QPoint end;
    };
    const Case cases[] = {
        {0, false, QPoint(1, 191)},
        {1, true, QPoint(1, 185)},
        {25, true, QPoint(216 - 152, 191 - 134)}, // 45°: 215·cos, 190·sin
        {50, true, QPoint(216, 1)},
        {75, true, QPoint(216 + 152, 191 - 134)},
        {100, true, QPoint(431, 191)},
    };
    for (const Case& c : cases) {
        const TGaugeGeometry g = ComputeGaugeGeometry(0, 100, c.progress, size, text);
        EXPECT_EQ(g.percent, c.progress);
        EXPECT_EQ(g.pivot, QPoint(216, 191));
        EXPECT_EQ(g.hasNeedle, c.needle) << c.progress;
        if (c.needle) {
            EXPECT_EQ(g.needleEnd, c.end) << c.progress;
        }
        EXPECT_EQ(g.frame, QRect(0, 0, 433, 193));
        EXPECT_EQ(g.dialBounds, QRect(1, 1, 430, 380));
        EXPECT_EQ(g.baseLine, QLine(1, 191, 431, 191));
        EXPECT_EQ(g.textRect, QRect(196, 82, 40, 28));
    }
}

TEST(GaugeGeometry, StaysInsideTinyGauges)
{
    for (const QSize size : {QSize(0, 0), QSize(1, 1), QSize(3, 2)}) {
        const TGaugeGeometry g = ComputeGaugeGeometry(0, 100, 50, size, QSize(10, 10));
        EXPECT_GE(g.dialBounds.width(), 0);
        EXPECT_GE(g.dialBounds.height(), 0);
        EXPECT_EQ(g.needleEnd.x(), g.pivot.x());
    }
}

TEST(NeedleGauge, ClampsProgressIntoTheRange)
{
    TNeedleGauge gauge;
    EXPECT_EQ(gauge.MinValue(), 0);
    EXPECT_EQ(gauge.MaxValue(), 100);
    EXPECT_EQ(gauge.Progress(), 0);

    gauge.SetProgress(150);
    EXPECT_EQ(gauge.Progress(), 100);
    gauge.SetProgress(-5);
    EXPECT_EQ(gauge.Progress(), 0);

    gauge.SetProgress(80);
    gauge.SetMaxValue(60); // lowers Progress with it
    EXPECT_EQ(gauge.Progress(), 60);
    gauge.SetMaxValue(200); // does not raise it again
    EXPECT_EQ(gauge.Progress(), 60);
    gauge.SetMinValue(70); // raises Progress with it
    EXPECT_EQ(gauge.Progress(), 70);
    gauge.SetMinValue(0);
    EXPECT_EQ(gauge.Progress(), 70);

    gauge.AdvanceProgress(500);
    EXPECT_EQ(gauge.Progress(), 200);
    gauge.AdvanceProgress(-1000);
    EXPECT_EQ(gauge.Progress(), 0);
    gauge.SetProgress(150);
    gauge.AdvanceProgress(INT_MAX); // no wrap past the top
    EXPECT_EQ(gauge.Progress(), 200);
    gauge.AdvanceProgress(INT_MIN);
    EXPECT_EQ(gauge.Progress(), 0);

    gauge.SetMaxValue(0); // the range the program uses before an upload
    gauge.AdvanceProgress(1);
    EXPECT_EQ(gauge.Progress(), 0);
    EXPECT_EQ(gauge.Percent(), 0);
}

TEST(NeedleGauge, RedrawsProgressOnlyWhenThePercentageMoves)
{
    TNeedleGauge gauge;
    gauge.SetMaxValue(1000);
    std::uint64_t redraws = gauge.RedrawRequests();
    const auto redrawn = [&] {
        const bool was = gauge.RedrawRequests() != redraws;
        redraws = gauge.RedrawRequests();
        return was;
    };

    gauge.SetProgress(9); // still 0 %
    EXPECT_FALSE(redrawn());
    gauge.SetProgress(10); // 1 %
    EXPECT_TRUE(redrawn());
    gauge.SetProgress(19); // still 1 %
    EXPECT_FALSE(redrawn());
    gauge.SetProgress(5000); // clamped to 100 %
    EXPECT_TRUE(redrawn());
    gauge.SetProgress(6000); // clamped to the same
    EXPECT_FALSE(redrawn());

    gauge.AdvanceProgress(0); // redraws in any case
    EXPECT_TRUE(redrawn());
    gauge.AdvanceProgress(1); // already at the top: still redraws
    EXPECT_TRUE(redrawn());

    gauge.SetMaxValue(2000);
    EXPECT_TRUE(redrawn());
    gauge.SetMaxValue(2000);
    EXPECT_FALSE(redrawn()) << "an unchanged end is no change";
    gauge.SetMinValue(5);
    EXPECT_TRUE(redrawn());
    gauge.SetMinValue(5);
    EXPECT_FALSE(redrawn());
}

// Palette colours are held with 16 bits a channel; the image has 8.
QRgb Rgb(QColor c)
{
    return c.rgb();
}

QRgb Inverse(QColor c)
{
    return qRgb(255 - c.red(), 255 - c.green(), 255 - c.blue());
}

int CountPixels(const QImage& image, const QRect& area, QRgb colour)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += image.pixel(x, y) == colour;
    return count;
}

TEST(NeedleGauge, DrawsFrameDialNeedleAndInvertedPercentage)
{
    TNeedleGauge gauge;
    gauge.resize(433, 193);
    const QRgb blue = qRgb(0, 0, 255);
    const QRgb black = qRgb(0, 0, 0);
    const QRgb face = Rgb(gauge.palette().color(QPalette::Window));
    const QRgb back = Rgb(gauge.BackColor());
    ASSERT_NE(face, back);

    const auto render = [&](int progress) {
        gauge.SetProgress(progress);
        return gauge.grab().toImage().convertToFormat(QImage::Format_RGB32);
    };
    const auto textRect = [&](int progress) {
        const QFontMetrics metrics(gauge.font());
        const QString text = QStringLiteral("%1%").arg(progress);
        return ComputeGaugeGeometry(0, 100, progress, gauge.size(),
                                    QSize(metrics.horizontalAdvance(text), metrics.height()))
            .textRect;
    };

    const QImage atZero = render(0);
    EXPECT_EQ(atZero.pixel(0, 0), black) << "frame";
    EXPECT_EQ(atZero.pixel(432, 192), black) << "frame";
    EXPECT_EQ(atZero.pixel(2, 2), face) << "corner outside the dial";
    EXPECT_EQ(atZero.pixel(100, 191), blue) << "base line";
    EXPECT_EQ(atZero.pixel(216, 30), back) << "no needle at 0 %";
    EXPECT_GT(CountPixels(atZero, textRect(0), Inverse(gauge.BackColor())), 20) << "text inverts the dial";

    const QImage atHalf = render(50);
    EXPECT_EQ(atHalf.pixel(216, 30), blue) << "upright needle";
    EXPECT_EQ(atHalf.pixel(216, 160), blue) << "upright needle";

    const QImage atFull = render(100);
    EXPECT_EQ(atFull.pixel(216, 30), back) << "the needle has moved on";
    EXPECT_EQ(atFull.pixel(216, 1), blue) << "rim of the dial";
}

} // namespace
