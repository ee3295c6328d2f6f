#include "trace_tail.h"

namespace korvel {

TraceTail::TraceTail(ConsoleLog& log, QObject* parent)
    : QObject(parent)
    , log_(log)
{
    log_.setTap(this);
}

TraceTail::~TraceTail()
{
    ConsoleSink* previous = log_.setTap(nullptr);
    if (previous != this)
        log_.setTap(previous);
}

void TraceTail::appendLine(std::string_view line)
{
    const QString text = QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
    bool post = false;
    {
        std::lock_guard guard(mutex_);
        lines_.push_back(text);
        if (lines_.size() > kLines)
            lines_.pop_front();
        fresh_.append(text);
        if (static_cast<std::size_t>(fresh_.size()) > kLines)
            fresh_.removeFirst();
        post = !noticePosted_;
        noticePosted_ = true;
    }
    if (post)
        QMetaObject::invokeMethod(this, &TraceTail::notify, Qt::QueuedConnection);
}

void TraceTail::notify()
{
    {
        std::lock_guard guard(mutex_);
        noticePosted_ = false;
    }
    emit linesAdded();
}

QStringList TraceTail::tail() const
{
    std::lock_guard guard(mutex_);
    return QStringList(lines_.begin(), lines_.end());
}

QStringList TraceTail::takeNew()
{
    std::lock_guard guard(mutex_);
    QStringList fresh;
    fresh.swap(fresh_);
    return fresh;
}

} // namespace korvel
