#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvel {

// What a SIP watcher sees of a station: the call part of its lamp and the
// message-waiting flag, which a message report sets without touching the call.
enum class LampCall : std::uint8_t {
    Idle, // terminated, open
    Busy, // confirmed, on-the-phone
    DoNotDisturb, // confirmed, PIDF busy with a note
    Forwarded, // terminated, open with a note
    Off, // out of service, unknown or never reported: terminated, closed
};

struct StationLamp {
    LampCall call = LampCall::Off;
    bool messageWaiting = false;
    friend bool operator==(const StationLamp&, const StationLamp&) = default;
};

// The lamp after a station state from an exchange (0 idle, 1 busy, 2 DND,
// 3 message waiting, 4 out of service, 5 forwarded, anything else unknown).
StationLamp NextLamp(StationLamp previous, std::int32_t state);

// The three event packages served.
enum class SipEvent : std::uint8_t { Dialog, Presence, MessageSummary };
inline constexpr std::size_t kSipEvents = 3;
// "dialog", "presence", "message-summary"; and back, false for any other.
const char* SipEventName(SipEvent event);
bool ParseSipEvent(std::string_view name, SipEvent* event);
const char* SipEventContentType(SipEvent event);

// The dialog-info document (one dialog, state "full") for `entity`
// ("sip:41100@hub"), with this subscription's document version.
std::string DialogInfoBody(std::string_view entity, std::string_view station, std::uint32_t version, StationLamp lamp);
std::string PidfBody(std::string_view entity, std::string_view station, StationLamp lamp);
std::string MessageSummaryBody(std::string_view entity, StationLamp lamp);

// A station's NOTIFY body for one event, built once for all its watchers: a
// dialog document's version goes between the two parts; the other bodies are
// all head.
struct NotifyBodyParts {
    std::string head;
    std::string tail;
};
NotifyBodyParts NotifyBodyFor(SipEvent event, std::string_view entity, std::string_view station, StationLamp lamp);
std::string NotifyBodyText(SipEvent event, const NotifyBodyParts& parts, std::uint32_t version);

} // namespace korvel
