#include "console_memo.h"

#include <QPlainTextEdit>

namespace korvel {

ConsoleMemoSink::ConsoleMemoSink(QPlainTextEdit* memo, QObject* parent)
    : QObject(parent)
    , memo_(memo)
{
    memo_->setMaximumBlockCount(kMaxLines);
}

void ConsoleMemoSink::appendLine(std::string_view line)
{
    bool post = false;
    {
        std::lock_guard guard(mutex_);
        pending_.append(QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
        post = !flushPosted_;
        flushPosted_ = true;
    }
    if (post)
        QMetaObject::invokeMethod(this, &ConsoleMemoSink::flush, Qt::QueuedConnection);
}

void ConsoleMemoSink::flush()
{
    QStringList lines;
    {
        std::lock_guard guard(mutex_);
        lines.swap(pending_);
        flushPosted_ = false;
    }
    if (lines.isEmpty())
        return;
    // A batch larger than the memo keeps would only be trimmed again.
    if (lines.size() > kMaxLines)
        lines.erase(lines.begin(), lines.end() - kMaxLines);
    memo_->appendPlainText(lines.join(QLatin1Char('\n')));
}

} // namespace korvel
