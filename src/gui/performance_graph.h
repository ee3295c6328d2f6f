#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <deque>
#include <functional>
#include <vector>

class QActionGroup;
class QMenu;

namespace korvel {

// A scrolling strip chart: each Update adds one step at the right edge and
// draws, per colour, a line from that colour's previous value to its new
// one. The scale follows the largest value still on show, rounded up to a
// multiple of Gradient. Below the chart a legend names each colour with its
// latest reading; the scale is written in the chart's corner. By default a
// step is StepSize pixels wide and the chart shows as many as fit; a longer
// time window squeezes more steps into the same width.
class PerformanceGraph : public QWidget {
    Q_OBJECT

public:
    static constexpr int kMaxPointsPerStep = 16;
    // Steps kept for the longest time window: an hour of one-second steps.
    static constexpr int kHistorySteps = 3600;
    // The time windows offered, in steps; 0 is "as many as fit".
    static constexpr int kTimeWindows[] = { 0, 60, 300, 900, 3600 };

    explicit PerformanceGraph(QWidget* parent = nullptr);

    void setGridSize(int pixels) { gridSize_ = pixels > 0 ? pixels : 1; }
    int gridSize() const { return gridSize_; }
    void setGradient(int gradient) { gradient_ = gradient > 0 ? gradient : 1; }
    int gradient() const { return gradient_; }
    int stepSize() const { return stepSize_; }
    int scale() const { return scale_; }
    // What the scale means, written in the top corner: by default the number.
    void setScaleText(std::function<QString(int)> text) { scaleText_ = std::move(text); }
    QString scaleText() const { return scaleText_ ? scaleText_(scale_) : QString::number(scale_); }
    // Gives `colour` a scale of its own, written in its colour in the other
    // top corner: a series in another unit than the rest.
    void setOwnScale(const QColor& colour, std::function<QString(int)> text);
    int ownScale() const { return ownScale_; }

    // Records one point of the step being built; points past the sixteenth
    // are ignored.
    void dataPoint(const QColor& colour, int value);
    // Closes the step, scrolls the chart by it and rescales.
    void closeStep();

    // Steps on show: those that fit across the chart's width, or the time window.
    int stepCapacity() const;
    int stepCount() const;

    // The time window in steps; 0 (the default) shows as many as fit.
    void setTimeWindow(int steps);
    int timeWindow() const { return timeWindow_; }

    // A legend line for `colour`: its name and, after each tick, its reading.
    void setLegend(const QColor& colour, const QString& name);
    void setReading(const QColor& colour, const QString& reading);
    QString legendText() const;

    QSize sizeHint() const override { return { 180, 200 }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    struct Point {
        QRgb colour;
        int value;
    };
    using Step = std::vector<Point>;
    struct Legend {
        QRgb colour;
        QString name;
        QString reading;
    };

    void rescale();
    int legendHeight() const;
    QRect plotRect() const;

    int gridSize_ = 12;
    int gradient_ = 500;
    int stepSize_ = 3;
    int scale_ = 1000;
    int timeWindow_ = 0;
    std::function<QString(int)> scaleText_;
    QRgb ownColour_ = 0;
    bool hasOwnScale_ = false;
    int ownScale_ = 4;
    std::function<QString(int)> ownScaleText_;
    QColor gridColour_ = Qt::green;
    QColor background_ = Qt::black;
    int penWidth_ = 2;

    Step building_;
    std::deque<Step> steps_; // oldest first, up to kHistorySteps
    long long travelled_ = 0; // steps taken since creation, for the vertical grid
    std::vector<Legend> legend_;
    QMenu* menu_ = nullptr;
    QActionGroup* windows_ = nullptr;
};

} // namespace korvel
