#include "gui/performance_graph.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

class PerformanceGraphTest : public ::testing::Test {
protected:
    PerformanceGraphTest()
    {
        graph.resize(99, 200);
        graph.setGridSize(12);
        graph.setGradient(500);
    }

    void step(int a, int b, int c)
    {
        graph.dataPoint(Qt::yellow, a);
        graph.dataPoint(Qt::green, b);
        graph.dataPoint(Qt::lightGray, c);
        graph.closeStep();
    }

    PerformanceGraph graph;
};

TEST_F(PerformanceGraphTest, QuietTrafficSettlesTheScaleAtOneGradient)
{
    EXPECT_EQ(graph.scale(), 1000);
    step(2, 2, 4);
    EXPECT_EQ(graph.scale(), 500);
    EXPECT_EQ(graph.stepCount(), 1);
}

TEST_F(PerformanceGraphTest, ScaleIsTheLargestValueRoundedUpToTheGradient)
{
    step(500, 2, 4);
    EXPECT_EQ(graph.scale(), 500);
    step(501, 2, 4);
    EXPECT_EQ(graph.scale(), 1000);
    step(2, 1001, 4);
    EXPECT_EQ(graph.scale(), 1500);
}

TEST_F(PerformanceGraphTest, ScaleFallsBackOnceAPeakHasScrolledOffTheChart)
{
    step(2, 2, 5000);
    EXPECT_EQ(graph.scale(), 5000);
    // 99 pixels in steps of 3: the peak stays while it is on show...
    const int capacity = graph.stepCapacity();
    EXPECT_GE(capacity, 99 / 3);
    for (int i = 1; i < capacity; ++i)
        step(2, 2, 4);
    EXPECT_EQ(graph.scale(), 5000);
    // ...and the scale drops with the step that pushes it out.
    step(2, 2, 4);
    EXPECT_EQ(graph.scale(), 500);
    EXPECT_EQ(graph.stepCount(), capacity);
}

TEST_F(PerformanceGraphTest, PointsBeyondSixteenInOneStepAreIgnored)
{
    for (int i = 0; i < PerformanceGraph::kMaxPointsPerStep; ++i)
        graph.dataPoint(QColor(i, 0, 0), 10);
    graph.dataPoint(Qt::white, 9000);
    graph.closeStep();
    EXPECT_EQ(graph.scale(), 500);
}

TEST_F(PerformanceGraphTest, NarrowingTheChartDropsStepsThatNoLongerFit)
{
    step(2, 2, 3000);
    for (int i = 0; i < 20; ++i)
        step(2, 2, 4);
    EXPECT_EQ(graph.scale(), 3000);
    graph.resize(30, 200);
    step(2, 2, 4);
    EXPECT_EQ(graph.scale(), 500);
    EXPECT_LE(graph.stepCount(), 30 / 3 + 1);
}

} // namespace
} // namespace korvel
