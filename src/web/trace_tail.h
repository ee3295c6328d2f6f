#pragma once

#include "log/console_log.h"

#include <QObject>
#include <QStringList>

#include <deque>
#include <mutex>

namespace korvel {

// The last console lines, for the page, taken beside the window's memo or
// standard output. appendLine runs on whichever thread logged, under the
// log's lock; it keeps the line and, for the first line of a batch, posts
// one notice to the main thread.
class TraceTail : public QObject, public ConsoleSink {
    Q_OBJECT

public:
    static constexpr std::size_t kLines = 500;

    // Taps `log` while it lives.
    explicit TraceTail(ConsoleLog& log, QObject* parent = nullptr);
    ~TraceTail() override;

    void appendLine(std::string_view line) override;
    QStringList tail() const;
    // The lines since the last call (the newest kLines of them).
    QStringList takeNew();
    // Whether the log traces now (the page shows it).
    bool logging() const { return log_.enabled(); }

signals:
    void linesAdded();

private:
    void notify();

    ConsoleLog& log_;
    mutable std::mutex mutex_; // guards the three below
    std::deque<QString> lines_;
    QStringList fresh_;
    bool noticePosted_ = false;
};

} // namespace korvel
