#include "console_memo.h"

#include "gui/qt_text.h"

#include <QPlainTextEdit>
#include <QTimer>

#include <algorithm>

namespace korvel {

namespace {

constexpr qint64 kNoticeIntervalMs = 1000;

} // namespace

ConsoleMemoSink::ConsoleMemoSink(ConsoleLog& log, QPlainTextEdit* memo, QObject* parent)
    : QObject(parent)
    , log_(log)
    , memo_(memo)
    , timer_(new QTimer(this))
{
    memo_->setMaximumBlockCount(kMaxLines);
    pending_.reserve(kMaxBatchBytes);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &ConsoleMemoSink::flush);
    reportedDrops_ = log_.droppedLines();
    sinceNotice_.start();
}

bool ConsoleMemoSink::full() const
{
    std::lock_guard guard(mutex_);
    return pending_.size() >= kMaxBatchBytes;
}

void ConsoleMemoSink::appendLine(std::string_view line)
{
    bool post = false;
    {
        std::lock_guard guard(mutex_);
        // A line is taken whole or not at all; the batch may run over by one
        // line, so that a long hex dump still gets through.
        if (pending_.size() >= kMaxBatchBytes) {
            log_.countDropped(1);
            return;
        }
        pending_.append(line);
        pending_.push_back('\n');
        post = !flushPosted_;
        flushPosted_ = true;
    }
    if (post)
        QMetaObject::invokeMethod(this, &ConsoleMemoSink::scheduleFlush, Qt::QueuedConnection);
}

void ConsoleMemoSink::scheduleFlush()
{
    if (timer_->isActive())
        return;
    const qint64 since = sinceFlush_.isValid() ? sinceFlush_.elapsed() : kRefreshMs;
    if (since >= kRefreshMs)
        flush();
    else
        timer_->start(static_cast<int>(kRefreshMs - since));
}

void ConsoleMemoSink::flush()
{
    owner_("flush");
    timer_->stop();
    std::string batch;
    {
        std::lock_guard guard(mutex_);
        batch.swap(pending_);
        pending_.reserve(kMaxBatchBytes);
        flushPosted_ = false;
    }
    sinceFlush_.start();
    const bool noticeDue = sinceNotice_.elapsed() >= kNoticeIntervalMs;
    if (noticeDue) {
        const std::string notice = log_.droppedLinesNotice(&reportedDrops_);
        if (!notice.empty()) {
            batch.append(notice).push_back('\n');
            sinceNotice_.start();
        }
    } else if (log_.droppedLines() != reportedDrops_) {
        // Dropped lines are told about within a second even if no line follows.
        timer_->start(static_cast<int>(kNoticeIntervalMs - sinceNotice_.elapsed()));
    }
    if (batch.empty())
        return;
    batch.pop_back();
    // A batch larger than the memo keeps would only be trimmed again.
    std::size_t from = 0;
    for (auto extra = std::count(batch.begin(), batch.end(), '\n') + 1 - kMaxLines; extra > 0; --extra)
        from = batch.find('\n', from) + 1;
    // Traces show System IDs and printable bodies as the exchanges wrote them.
    memo_->appendPlainText(DisplayText(std::string_view(batch).substr(from)));
}

} // namespace korvel
