#include "performance_graph.h"

#include <QActionGroup>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace korvel {

namespace {

constexpr int kLegendFontPixels = 10;

QString WindowCaption(int steps)
{
    switch (steps) {
    case 0:
        return QStringLiteral("Fit to Width");
    case 60:
        return QStringLiteral("1 Minute");
    case 3600:
        return QStringLiteral("1 Hour");
    default:
        return QStringLiteral("%1 Minutes").arg(steps / 60);
    }
}

} // namespace

PerformanceGraph::PerformanceGraph(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    menu_ = new QMenu(this);
    menu_->setObjectName(QStringLiteral("GraphMenu"));
    QMenu* windows = menu_->addMenu(QStringLiteral("Time Window"));
    windows_ = new QActionGroup(this);
    for (int steps : kTimeWindows) {
        QAction* action = windows->addAction(WindowCaption(steps));
        action->setObjectName(QStringLiteral("GraphWindow%1").arg(steps));
        action->setCheckable(true);
        action->setChecked(steps == timeWindow_);
        action->setData(steps);
        windows_->addAction(action);
        connect(action, &QAction::triggered, this, [this, steps] { setTimeWindow(steps); });
    }
}

void PerformanceGraph::dataPoint(const QColor& colour, int value)
{
    if (static_cast<int>(building_.size()) >= kMaxPointsPerStep)
        return;
    building_.push_back({ colour.rgb(), value });
}

void PerformanceGraph::closeStep()
{
    steps_.push_back(std::move(building_));
    building_.clear();
    ++travelled_;
    while (static_cast<int>(steps_.size()) > kHistorySteps)
        steps_.pop_front();
    rescale();
    update();
}

int PerformanceGraph::stepCapacity() const
{
    if (timeWindow_ > 0)
        return timeWindow_ + 1;
    // One more than fits, so the oldest line still runs in from the left edge.
    return std::max(1, plotRect().width() / stepSize_ + 1);
}

int PerformanceGraph::stepCount() const
{
    return std::min(static_cast<int>(steps_.size()), stepCapacity());
}

void PerformanceGraph::setTimeWindow(int steps)
{
    if (std::find(std::begin(kTimeWindows), std::end(kTimeWindows), steps) == std::end(kTimeWindows))
        return;
    timeWindow_ = steps;
    for (QAction* action : windows_->actions())
        action->setChecked(action->data().toInt() == steps);
    rescale();
    update();
}

void PerformanceGraph::setLegend(const QColor& colour, const QString& name)
{
    for (Legend& line : legend_)
        if (line.colour == colour.rgb()) {
            line.name = name;
            return;
        }
    legend_.push_back({ colour.rgb(), name, QString() });
    update();
}

void PerformanceGraph::setReading(const QColor& colour, const QString& reading)
{
    for (Legend& line : legend_)
        if (line.colour == colour.rgb())
            line.reading = reading;
    update();
}

QString PerformanceGraph::legendText() const
{
    QStringList lines;
    for (const Legend& line : legend_)
        lines << (line.reading.isEmpty() ? line.name : line.name + QLatin1Char(' ') + line.reading);
    return lines.join(QLatin1Char('\n'));
}

void PerformanceGraph::setOwnScale(const QColor& colour, std::function<QString(int)> text)
{
    ownColour_ = colour.rgb();
    hasOwnScale_ = true;
    ownScaleText_ = std::move(text);
    rescale();
}

void PerformanceGraph::rescale()
{
    int largest = 0;
    int largestOwn = 0;
    const int shown = stepCount();
    for (auto step = steps_.end() - shown; step != steps_.end(); ++step)
        for (const Point& point : *step) {
            int& top = hasOwnScale_ && point.colour == ownColour_ ? largestOwn : largest;
            top = std::max(top, point.value);
        }
    // Rounded up to the gradient; never below one gradient, so a quiet chart
    // keeps a scale to draw against.
    const long long rounded = (static_cast<long long>(largest) + gradient_ - 1) / gradient_ * gradient_;
    scale_ = static_cast<int>(std::clamp<long long>(rounded, gradient_, std::numeric_limits<int>::max()));
    // The smallest of 4, 8, 20 times a power of ten that holds the largest
    // value: a round number at each quarter.
    long long own = 4;
    for (long long power = 1; own < largestOwn && power < std::numeric_limits<int>::max() / 20; power *= 10)
        for (long long step : { 4, 8, 20 })
            if ((own = step * power) >= largestOwn)
                break;
    ownScale_ = static_cast<int>(own);
}

int PerformanceGraph::legendHeight() const
{
    return legend_.empty() ? 0 : static_cast<int>(legend_.size()) * (kLegendFontPixels + 3) + 4;
}

QRect PerformanceGraph::plotRect() const
{
    return QRect(0, 0, width(), std::max(1, height() - legendHeight()));
}

void PerformanceGraph::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    rescale();
}

void PerformanceGraph::contextMenuEvent(QContextMenuEvent* event)
{
    menu_->popup(event->globalPos());
}

void PerformanceGraph::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), background_);
    const QRect plot = plotRect();
    const int w = plot.width();
    const int h = plot.height();
    // Pixels per step: the fixed step, or the window squeezed into the width.
    const double spacing = timeWindow_ > 0 ? static_cast<double>(w) / timeWindow_ : stepSize_;

    painter.setPen(QPen(gridColour_, 1));
    for (int y = h - 1; y >= 0; y -= gridSize_)
        painter.drawLine(0, y, w, y);
    // Vertical lines travel with the data: one every gridSize_ pixels scrolled.
    const int phase = static_cast<int>(std::fmod(static_cast<double>(travelled_) * spacing, gridSize_));
    for (int x = w - 1 - phase; x >= 0; x -= gridSize_)
        painter.drawLine(x, 0, x, h);

    painter.save();
    painter.setClipRect(plot);
    auto yOf = [&](QRgb colour, int value) {
        return h - static_cast<double>(h) * value / (hasOwnScale_ && colour == ownColour_ ? ownScale_ : scale_);
    };
    painter.setRenderHint(QPainter::Antialiasing);
    std::map<QRgb, int> previous;
    const int count = stepCount();
    const auto first = steps_.end() - count;
    for (int i = 0; i < count; ++i) {
        const double x1 = w - 1 - static_cast<double>(count - 1 - i) * spacing;
        const double x0 = x1 - spacing;
        std::map<QRgb, int> current;
        for (const Point& point : *(first + i)) {
            const auto before = previous.find(point.colour);
            const int from = before == previous.end() ? 0 : before->second;
            painter.setPen(QPen(QColor(point.colour), penWidth_));
            painter.drawLine(QPointF(x0, yOf(point.colour, from)), QPointF(x1, yOf(point.colour, point.value)));
            current[point.colour] = point.value;
        }
        previous = std::move(current);
    }
    painter.restore();

    QFont small = font();
    small.setPixelSize(kLegendFontPixels);
    painter.setFont(small);
    // The scales in the top corners, on a dark patch so the lines do not hide them.
    auto corner = [&](const QString& text, const QColor& colour, bool right) {
        const QSize box = painter.fontMetrics().boundingRect(text).adjusted(-2, 0, 2, 0).size();
        const QRect at(QPoint(right ? w - 1 - box.width() : 1, 1), box);
        painter.fillRect(at, QColor(0, 0, 0, 190));
        painter.setPen(colour);
        painter.drawText(at, Qt::AlignCenter, text);
    };
    corner(scaleText(), gridColour_.lighter(130), false);
    if (hasOwnScale_)
        corner(ownScaleText_ ? ownScaleText_(ownScale_) : QString::number(ownScale_), QColor(ownColour_), true);

    int y = plot.bottom() + 4;
    for (const Legend& line : legend_) {
        painter.fillRect(QRect(2, y + 2, 7, kLegendFontPixels - 3), QColor(line.colour));
        painter.setPen(QColor(line.colour));
        const QString text = line.reading.isEmpty() ? line.name : line.name + QLatin1Char(' ') + line.reading;
        painter.drawText(QRect(12, y, width() - 13, kLegendFontPixels + 2), Qt::AlignLeft | Qt::AlignVCenter,
            painter.fontMetrics().elidedText(text, Qt::ElideRight, width() - 13));
        y += kLegendFontPixels + 3;
    }
}

} // namespace korvel
