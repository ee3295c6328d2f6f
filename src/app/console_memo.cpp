#include "console_memo.h"

#include "app/qt_text.h"

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
        pending_.append(line.data(), static_cast<qsizetype>(line.size()));
        pending_.append('\n');
        ++pendingLines_;
        post = !flushPosted_;
        flushPosted_ = true;
    }
    if (post)
        QMetaObject::invokeMethod(this, &ConsoleMemoSink::flush, Qt::QueuedConnection);
}

void ConsoleMemoSink::flush()
{
    QByteArray lines;
    int count = 0;
    {
        std::lock_guard guard(mutex_);
        lines.swap(pending_);
        std::swap(count, pendingLines_);
        flushPosted_ = false;
    }
    if (count == 0)
        return;
    lines.chop(1);
    // A batch larger than the memo keeps would only be trimmed again.
    qsizetype from = 0;
    for (int extra = count - kMaxLines; extra > 0; --extra)
        from = lines.indexOf('\n', from) + 1;
    // Traces show System IDs and printable bodies as the exchanges wrote them.
    memo_->appendPlainText(DisplayText(std::string_view(lines.constData() + from, lines.size() - from)));
}

} // namespace korvel
