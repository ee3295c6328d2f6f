#include "system_table.h"

namespace korvel {

void SystemTable::SendKeepAlives() {}
void SystemTable::SendKeepAlive(SystemEntry&) {}

} // namespace korvel
