#include "needlegauge.h"

#include "appfont.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr int kTextPixels = 24;

QString PercentText(int percent)
{
    return QStringLiteral("%1%").arg(percent);
}

QFont PercentFont()
{
    QFont font = LoaderFont(kTextPixels);
    // Inverting the pixels under the text only reads cleanly with solid glyphs:
    // antialiased edges would invert into speckles of the neighbouring colours.
    font.setStyleStrategy(QFont::NoAntialias);
    return font;
}

} // namespace

int GaugePercent(int minValue, int maxValue, int progress)
{
    if (maxValue <= minValue)
        return 0;
    // 64 bits: the span and 100 × offset overflow 32 bits for wide ranges.
    const std::int64_t offset = std::int64_t(progress) - minValue;
    const std::int64_t span = std::int64_t(maxValue) - minValue;
    return int(100 * offset / span);
}

TGaugeGeometry ComputeGaugeGeometry(int minValue, int maxValue, int progress, QSize size,
                                    QSize textSize)
{
    TGaugeGeometry g;
    g.percent = GaugePercent(minValue, maxValue, progress);
    g.frame = QRect(QPoint(0, 0), size);

    // The dial lives inside the frame: half an ellipse as wide as the gauge's
    // inside and as high, its centre on the middle of the bottom edge.
    const QRect inside = g.frame.adjusted(1, 1, -1, -1);
    const int a = std::max(0, (inside.width() - 1) / 2);
    const int b = std::max(0, inside.height() - 1);
    g.pivot = QPoint(inside.left() + a, inside.top() + b);
    g.dialBounds = QRect(g.pivot.x() - a, g.pivot.y() - b, 2 * a, 2 * b);
    g.baseLine = QLine(g.pivot.x() - a, g.pivot.y(), g.pivot.x() + a, g.pivot.y());

    g.hasNeedle = g.percent != 0;
    const double angle = g.percent / 100.0 * std::numbers::pi;
    g.needleEnd = QPoint(g.pivot.x() - int(std::lround(a * std::cos(angle))),
                         g.pivot.y() - int(std::lround(b * std::sin(angle))));

    g.textRect = QRect(QPoint((size.width() - textSize.width()) / 2,
                              (size.height() - textSize.height()) / 2),
                       textSize);
    return g;
}

TNeedleGauge::TNeedleGauge(QWidget* parent) : QWidget(parent)
{
    setFont(PercentFont());
}

QColor TNeedleGauge::BackColor() const
{
    return palette().color(QPalette::Midlight);
}

int TNeedleGauge::Clamp(int value) const
{
    return std::clamp(value, minValue_, std::max(minValue_, maxValue_));
}

void TNeedleGauge::Redraw()
{
    ++redrawRequests_;
    update();
}

void TNeedleGauge::SetMinValue(int value)
{
    if (value == minValue_)
        return;
    minValue_ = value;
    progress_ = std::max(progress_, minValue_);
    Redraw();
}

void TNeedleGauge::SetMaxValue(int value)
{
    if (value == maxValue_)
        return;
    maxValue_ = value;
    progress_ = std::min(progress_, maxValue_);
    Redraw();
}

void TNeedleGauge::SetProgress(int value)
{
    const int before = Percent();
    progress_ = Clamp(value);
    if (Percent() != before)
        Redraw();
}

void TNeedleGauge::AdvanceProgress(int step)
{
    // Summed in 64 bits so that a large step cannot wrap past the clamp.
    const std::int64_t sum = std::int64_t(progress_) + step;
    progress_ = Clamp(int(std::clamp<std::int64_t>(sum, INT32_MIN, INT32_MAX)));
    Redraw();
}

void TNeedleGauge::paintEvent(QPaintEvent*)
{
    const QString text = PercentText(Percent());
    const QFontMetrics metrics(font());
    const QSize textSize(metrics.horizontalAdvance(text), metrics.height());
    const TGaugeGeometry g =
        ComputeGaugeGeometry(minValue_, maxValue_, progress_, size(), textSize);

    QPainter painter(this);
    painter.setPen(Qt::black);
    painter.setBrush(palette().color(QPalette::Window));
    painter.drawRect(g.frame.adjusted(0, 0, -1, -1));

    painter.setPen(ForeColor());
    painter.setBrush(BackColor());
    painter.drawChord(g.dialBounds, 0, 180 * 16);
    painter.drawLine(g.baseLine);
    if (g.hasNeedle)
        painter.drawLine(g.pivot, g.needleEnd);

    // White XORed over any colour gives its inverse, so the text stays readable
    // over the face, the dial and the needle alike.
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.setPen(Qt::white);
    painter.drawText(g.textRect, Qt::AlignCenter, text);
}
