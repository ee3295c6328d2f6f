#pragma once

#include <cstddef>

namespace korvel {

// Descriptors kept free of network use: saving the table (the file, its
// temporary copy, the folder) and what the program opens besides (Qt's own,
// the trace, a ping).
inline constexpr std::size_t kReservedDescriptors = 64;

// Raises the soft limit on open descriptors to the hard one, since a busy
// hub needs more than the usual 1,024; returns the limit now in force.
std::size_t RaiseDescriptorLimit();

// The soft limit now in force.
std::size_t DescriptorLimit();

// How many descriptors the network may take in all: the limit less the
// reserve, and less as much again for the sockets and threads that are
// always there.
std::size_t NetworkDescriptors(std::size_t limit);

} // namespace korvel
