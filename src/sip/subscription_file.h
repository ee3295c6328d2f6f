#pragma once

#include "base/result.h"
#include "sip/subscription_book.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

// The subscriptions as JSON, for the data folder: dialog, route, target,
// CSeq, version and expiry (as wall-clock milliseconds, `offsetMs` added to
// the book's clock), written at `nowWallMs`. `orderly`: written at an orderly
// stop, so the CSeq and version in it are the last ones sent; otherwise they
// are saved only with the subscriptions themselves, not with every NOTIFY.
std::string SubscriptionsText(
    const SubscriptionBook& book, std::int64_t offsetMs, std::int64_t nowWallMs, bool orderly);

// What a saved file holds, back on the book's clock, without those already
// expired at `nowWallMs`. After a crash the CSeq and version may be behind
// the last ones sent: they move on by a margin then, more the longer ago the
// file was written, as if every subscription had had a NOTIFY each 100 ms.
Result<std::vector<SipSubscription>> ParseSubscriptions(
    const std::string& text, std::int64_t nowWallMs, std::int64_t offsetMs);

inline constexpr std::uint32_t kSipRestartMargin = 1000;
inline constexpr std::uint32_t kSipRestartMarginPerSecond = 10;

} // namespace korvel
