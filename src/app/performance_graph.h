#pragma once

#include <QColor>
#include <QWidget>

#include <deque>
#include <vector>

namespace korvel {

// A scrolling strip chart: each Update adds one step of StepSize pixels at the
// right edge and draws, per colour, a line from that colour's previous value
// to its new one. The scale follows the largest value still on show, rounded
// up to a multiple of Gradient.
class TPerformanceGraph : public QWidget {
    Q_OBJECT

public:
    static constexpr int kMaxPointsPerStep = 16;

    explicit TPerformanceGraph(QWidget* parent = nullptr);

    void setGridSize(int pixels) { gridSize_ = pixels > 0 ? pixels : 1; }
    int gridSize() const { return gridSize_; }
    void setGradient(int gradient) { gradient_ = gradient > 0 ? gradient : 1; }
    int gradient() const { return gradient_; }
    int stepSize() const { return stepSize_; }
    int scale() const { return scale_; }

    // Records one point of the step being built; points past the sixteenth
    // are ignored.
    void DataPoint(const QColor& colour, int value);
    // Closes the step, scrolls the chart by it and rescales.
    void Update();

    // Steps kept: those that fit across the chart's width.
    int stepCapacity() const;
    int stepCount() const { return static_cast<int>(steps_.size()); }

    QSize sizeHint() const override { return { 99, 200 }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Point {
        QRgb colour;
        int value;
    };
    using Step = std::vector<Point>;

    void trim();
    void rescale();

    int gridSize_ = 12;
    int gradient_ = 500;
    int stepSize_ = 3;
    int scale_ = 1000;
    QColor gridColour_ = Qt::green;
    QColor background_ = Qt::black;
    int penWidth_ = 2;

    Step building_;
    std::deque<Step> steps_; // oldest first
    long long travelled_ = 0; // pixels scrolled since creation, for the vertical grid
};

} // namespace korvel
