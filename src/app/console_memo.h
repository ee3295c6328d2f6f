#pragma once

#include "store/console_log.h"

#include <QByteArray>
#include <QObject>

#include <mutex>

class QPlainTextEdit;

namespace korvel {

// The sink behind the Console memo. appendLine runs under ConsoleLock on
// whatever thread logged; it only queues the line and, for the first line of
// a batch, posts one flush to the memo's thread, so no logger ever waits for
// the window. The flush appends the whole batch in order.
class ConsoleMemoSink : public QObject, public ConsoleSink {
    Q_OBJECT

public:
    // The memo keeps this many newest lines, so days of logging stay bounded.
    static constexpr int kMaxLines = 100000;

    explicit ConsoleMemoSink(QPlainTextEdit* memo, QObject* parent = nullptr);

    void appendLine(std::string_view line) override;
    // Appends the waiting lines now; the posted flush does the same.
    void flush();

private:
    QPlainTextEdit* memo_;
    // Guards pending_ and flushPosted_; taken inside ConsoleLock by loggers
    // and alone by the main thread, never the other way round.
    std::mutex mutex_;
    // Lines as logged, each ended by a newline; decoded on the memo's thread.
    QByteArray pending_;
    int pendingLines_ = 0;
    bool flushPosted_ = false;
};

} // namespace korvel
