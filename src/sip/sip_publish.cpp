// PUBLISH (RFC 3903) of the SIP extensions' states, handed to SipImport.

// The library's headers first: glib's use the words Qt makes keywords.
#include <sofia-sip/nta.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_status.h>
#include <sofia-sip/sip_tag.h>

#include "sip/sip_import.h"
#include "sip/sip_presence.h"
#include "sip/subscription_book.h"

#include <string>

namespace korvel {

int SipPresence::publish(void* irqPointer, const void* sipPointer)
{
    auto* irq = static_cast<nta_incoming_t*>(irqPointer);
    const auto* sip = static_cast<const sip_t*>(sipPointer);
    if (!import_) {
        nta_incoming_treply(irq, SIP_405_METHOD_NOT_ALLOWED, SIPTAG_ALLOW_STR("SUBSCRIBE, OPTIONS"), TAG_END());
        return 405;
    }
    SipEvent event = SipEvent::Dialog;
    if (!sip->sip_event || !ParseSipEvent(sip->sip_event->o_type ? sip->sip_event->o_type : "", &event)
        || event == SipEvent::MessageSummary) {
        nta_incoming_treply(irq, SIP_489_BAD_EVENT, SIPTAG_ALLOW_EVENTS_STR("dialog, presence"), TAG_END());
        return 489;
    }
    const url_t* uri = sip->sip_request->rq_url;
    if (!uri->url_user || !*uri->url_user || !uri->url_host || options_.domain != uri->url_host) {
        nta_incoming_treply(irq, SIP_404_NOT_FOUND, TAG_END());
        return 404;
    }
    const bool hasBody = sip->sip_payload && sip->sip_payload->pl_len > 0;
    std::optional<std::uint8_t> state;
    if (hasBody) {
        const char* expected = SipEventContentType(event);
        if (sip->sip_content_type && sip->sip_content_type->c_type
            && std::string_view(sip->sip_content_type->c_type) != expected) {
            nta_incoming_treply(irq, SIP_415_UNSUPPORTED_MEDIA, SIPTAG_ACCEPT_STR(expected), TAG_END());
            return 415;
        }
        state = StateFromDocument(
            event, std::string_view(sip->sip_payload->pl_data, static_cast<std::size_t>(sip->sip_payload->pl_len)));
        if (!state)
            ++counters_.malformed;
    }
    std::optional<std::uint32_t> expires;
    if (sip->sip_expires)
        expires = static_cast<std::uint32_t>(sip->sip_expires->ex_delta);
    const std::string ifMatch
        = sip->sip_if_match && sip->sip_if_match->g_string ? std::string(sip->sip_if_match->g_string) : std::string();
    const PublishAnswer answer = import_->publish(uri->url_user, ifMatch, expires, hasBody, state);
    const std::string seconds = std::to_string(answer.expires);
    switch (answer.status) {
    case 200:
        if (answer.etag.empty())
            nta_incoming_treply(irq, SIP_200_OK, SIPTAG_EXPIRES_STR("0"), TAG_END());
        else
            nta_incoming_treply(
                irq, SIP_200_OK, SIPTAG_ETAG_STR(answer.etag.c_str()), SIPTAG_EXPIRES_STR(seconds.c_str()), TAG_END());
        break;
    case 423:
        nta_incoming_treply(irq, SIP_423_INTERVAL_TOO_BRIEF, SIPTAG_MIN_EXPIRES_STR(seconds.c_str()), TAG_END());
        break;
    case 412:
        nta_incoming_treply(irq, 412, "Conditional Request Failed", TAG_END());
        break;
    default:
        nta_incoming_treply(irq, 400, hasBody ? "Unreadable Document" : "Missing Body", TAG_END());
        break;
    }
    return answer.status;
}

} // namespace korvel
