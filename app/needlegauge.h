#pragma once

// The needle gauge: a half-ellipse dial whose needle sweeps from flat left (0 %)
// through upright (50 %) to flat right (100 %), with the percentage printed over it
// in inverted colours. Geometry is computed by a pure function so that it can be
// checked without a screen; paintEvent only draws what that function returns.

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QWidget>

#include <cstdint>

// trunc(100 × (progress − min) / (max − min)); 0 when the range is empty.
int GaugePercent(int minValue, int maxValue, int progress);

struct TGaugeGeometry {
    int percent = 0;
    QRect frame;      // the one-pixel black frame: the whole gauge
    QRect dialBounds; // bounding box of the full ellipse; only its upper half is drawn
    QPoint pivot;     // middle of the base line, where the needle starts
    QLine baseLine;
    bool hasNeedle = false; // no needle while the percentage is 0
    QPoint needleEnd;       // on the rim of the dial
    QRect textRect;         // centred in the gauge, sized for the percentage text
};

// `size` is the gauge's size, `textSize` the size of the percentage text in the
// gauge's font.
TGaugeGeometry ComputeGaugeGeometry(int minValue, int maxValue, int progress, QSize size,
                                    QSize textSize);

class TNeedleGauge : public QWidget {
public:
    explicit TNeedleGauge(QWidget* parent = nullptr);

    int MinValue() const { return minValue_; }
    int MaxValue() const { return maxValue_; }
    int Progress() const { return progress_; }
    int Percent() const { return GaugePercent(minValue_, maxValue_, progress_); }

    // Both ends compare first: an unchanged value does nothing.
    // Raises Progress to the new lower end if it was below; redraws.
    void SetMinValue(int value);
    // Lowers Progress to the new upper end if it was above; redraws.
    void SetMaxValue(int value);
    // Clamped into MinValue … MaxValue; redraws only when the percentage changes,
    // so a long upload that advances by small steps does not repaint every block.
    void SetProgress(int value);
    // Progress + step, clamped as SetProgress; redraws in any case.
    void AdvanceProgress(int step);

    // How often the gauge has asked to be redrawn.
    std::uint64_t RedrawRequests() const { return redrawRequests_; }

    QColor ForeColor() const { return QColor(0, 0, 255); }
    QColor BackColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int Clamp(int value) const;
    void Redraw();

    int minValue_ = 0;
    int maxValue_ = 100;
    int progress_ = 0;
    std::uint64_t redrawRequests_ = 0;
};
