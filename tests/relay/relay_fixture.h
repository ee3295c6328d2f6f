#pragma once

#include "log/console_log.h"
#include "relay/decoder.h"
#include "relay/replies.h"
#include "support/packets.h"
#include "support/recording_outbox.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace korvel::testing {

// A table, a recording outbox and a console capture, with no sockets.
class RelayFixture : public ::testing::Test {
protected:
    RelayFixture()
    {
        settings.ForwardStatus = true;
        log.setSink(&console);
        log.enable();
    }

    void decode(const std::string& source, const ByteVector& packet) { DecodePacket(table, replies, source, packet); }

    std::vector<std::string> lines() const { return console.lines(); }

    QTemporaryDir directory;
    SystemTable table { directory.path().toStdString() };
    RecordingOutbox outbox;
    Settings settings;
    TrafficCounters counters;
    SequenceCounter sequence;
    CaptureConsoleSink console;
    ConsoleLog log;
    Replies replies { table, outbox, settings, counters, sequence, log };
};

} // namespace korvel::testing
