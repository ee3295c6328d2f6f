#pragma once

#include <cstdint>

namespace korvel {

class ConsoleLog;
class Outbox;
class SystemTable;
struct SystemEntry;

// The sweep the save timer runs: a working system silent for too long turns
// "No Data", and every QVX system not working nor in error is sent a
// keep-alive through `outbox`, traced in `console`. `now` is in the table
// clock's seconds.
void SendKeepAlives(SystemTable& table, Outbox& outbox, ConsoleLog& console, std::int64_t now);
void SendKeepAlive(SystemTable& table, SystemEntry& entry, Outbox& outbox, ConsoleLog& console, std::int64_t now);

} // namespace korvel
