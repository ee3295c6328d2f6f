#include "performance_graph.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <limits>
#include <map>

namespace korvel {

TPerformanceGraph::TPerformanceGraph(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPerformanceGraph::DataPoint(const QColor& colour, int value)
{
    if (static_cast<int>(building_.size()) >= kMaxPointsPerStep)
        return;
    building_.push_back({ colour.rgb(), value });
}

void TPerformanceGraph::Update()
{
    steps_.push_back(std::move(building_));
    building_.clear();
    travelled_ += stepSize_;
    trim();
    rescale();
    update();
}

int TPerformanceGraph::stepCapacity() const
{
    // One more than fits, so the oldest line still runs in from the left edge.
    return std::max(1, width() / stepSize_ + 1);
}

void TPerformanceGraph::trim()
{
    while (static_cast<int>(steps_.size()) > stepCapacity())
        steps_.pop_front();
}

void TPerformanceGraph::rescale()
{
    int largest = 0;
    for (const Step& step : steps_)
        for (const Point& point : step)
            largest = std::max(largest, point.value);
    // Rounded up to the gradient; never below one gradient, so a quiet chart
    // keeps a scale to draw against.
    const long long rounded = (static_cast<long long>(largest) + gradient_ - 1) / gradient_ * gradient_;
    scale_ = static_cast<int>(std::clamp<long long>(rounded, gradient_, std::numeric_limits<int>::max()));
}

void TPerformanceGraph::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    trim();
    rescale();
}

void TPerformanceGraph::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), background_);
    const int w = width();
    const int h = height();

    painter.setPen(QPen(gridColour_, 1));
    for (int y = h - 1; y >= 0; y -= gridSize_)
        painter.drawLine(0, y, w, y);
    // Vertical lines travel with the data: one every gridSize_ pixels scrolled.
    const int phase = static_cast<int>(travelled_ % gridSize_);
    for (int x = w - 1 - phase; x >= 0; x -= gridSize_)
        painter.drawLine(x, 0, x, h);

    auto yOf = [&](int value) { return h - static_cast<double>(h) * value / scale_; };
    painter.setRenderHint(QPainter::Antialiasing);
    std::map<QRgb, int> previous;
    const int count = static_cast<int>(steps_.size());
    for (int i = 0; i < count; ++i) {
        const double x1 = w - 1 - static_cast<double>(count - 1 - i) * stepSize_;
        const double x0 = x1 - stepSize_;
        std::map<QRgb, int> current;
        for (const Point& point : steps_[static_cast<std::size_t>(i)]) {
            const auto before = previous.find(point.colour);
            const int from = before == previous.end() ? 0 : before->second;
            painter.setPen(QPen(QColor(point.colour), penWidth_));
            painter.drawLine(QPointF(x0, yOf(from)), QPointF(x1, yOf(point.value)));
            current[point.colour] = point.value;
        }
        previous = std::move(current);
    }
}

} // namespace korvel
