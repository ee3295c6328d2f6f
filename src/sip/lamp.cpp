#include "lamp.h"

#include <QXmlStreamWriter>

namespace korvel {

namespace {

QString Text(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool Open(LampCall call)
{
    return call != LampCall::Off;
}

} // namespace

StationLamp NextLamp(StationLamp previous, std::int32_t state)
{
    switch (state) {
    case 0:
        return { LampCall::Idle, false };
    case 1:
        return { LampCall::Busy, false };
    case 2:
        return { LampCall::DoNotDisturb, false };
    case 3:
        // A message report says nothing of the call: the lamp keeps it.
        return { previous.call, true };
    case 5:
        return { LampCall::Forwarded, false };
    default:
        return { LampCall::Off, false };
    }
}

const char* SipEventName(SipEvent event)
{
    switch (event) {
    case SipEvent::Dialog:
        return "dialog";
    case SipEvent::Presence:
        return "presence";
    case SipEvent::MessageSummary:
        break;
    }
    return "message-summary";
}

bool ParseSipEvent(std::string_view name, SipEvent* event)
{
    for (SipEvent known : { SipEvent::Dialog, SipEvent::Presence, SipEvent::MessageSummary }) {
        if (name == SipEventName(known)) {
            *event = known;
            return true;
        }
    }
    return false;
}

const char* SipEventContentType(SipEvent event)
{
    switch (event) {
    case SipEvent::Dialog:
        return "application/dialog-info+xml";
    case SipEvent::Presence:
        return "application/pidf+xml";
    case SipEvent::MessageSummary:
        break;
    }
    return "application/simple-message-summary";
}

std::string DialogInfoBody(std::string_view entity, std::string_view station, std::uint32_t version, StationLamp lamp)
{
    QByteArray body;
    QXmlStreamWriter xml(&body);
    xml.writeStartDocument();
    xml.writeDefaultNamespace(QStringLiteral("urn:ietf:params:xml:ns:dialog-info"));
    xml.writeStartElement(QStringLiteral("dialog-info"));
    xml.writeAttribute(QStringLiteral("version"), QString::number(version));
    xml.writeAttribute(QStringLiteral("state"), QStringLiteral("full"));
    xml.writeAttribute(QStringLiteral("entity"), Text(entity));
    xml.writeStartElement(QStringLiteral("dialog"));
    xml.writeAttribute(QStringLiteral("id"), Text(station));
    const bool inCall = lamp.call == LampCall::Busy || lamp.call == LampCall::DoNotDisturb;
    xml.writeTextElement(QStringLiteral("state"), inCall ? QStringLiteral("confirmed") : QStringLiteral("terminated"));
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return body.toStdString();
}

std::string PidfBody(std::string_view entity, std::string_view station, StationLamp lamp)
{
    static const QString kRpid = QStringLiteral("urn:ietf:params:xml:ns:pidf:rpid");
    static const QString kModel = QStringLiteral("urn:ietf:params:xml:ns:pidf:data-model");
    QByteArray body;
    QXmlStreamWriter xml(&body);
    xml.writeStartDocument();
    xml.writeDefaultNamespace(QStringLiteral("urn:ietf:params:xml:ns:pidf"));
    xml.writeNamespace(kModel, QStringLiteral("dm"));
    xml.writeNamespace(kRpid, QStringLiteral("rpid"));
    xml.writeStartElement(QStringLiteral("presence"));
    xml.writeAttribute(QStringLiteral("entity"), Text(entity));
    xml.writeStartElement(QStringLiteral("tuple"));
    xml.writeAttribute(QStringLiteral("id"), QStringLiteral("t") + Text(station));
    xml.writeStartElement(QStringLiteral("status"));
    xml.writeTextElement(QStringLiteral("basic"), Open(lamp.call) ? QStringLiteral("open") : QStringLiteral("closed"));
    xml.writeEndElement();
    QString note;
    if (lamp.call == LampCall::Busy)
        note = QStringLiteral("On the phone");
    else if (lamp.call == LampCall::DoNotDisturb)
        note = QStringLiteral("Do not disturb");
    else if (lamp.call == LampCall::Forwarded)
        note = QStringLiteral("Call forwarding");
    else if (lamp.call == LampCall::Off)
        note = QStringLiteral("Not in service");
    if (!note.isEmpty())
        xml.writeTextElement(QStringLiteral("note"), note);
    xml.writeEndElement();
    if (lamp.call == LampCall::Busy || lamp.call == LampCall::DoNotDisturb) {
        xml.writeStartElement(kModel, QStringLiteral("person"));
        xml.writeAttribute(QStringLiteral("id"), QStringLiteral("p") + Text(station));
        xml.writeStartElement(kRpid, QStringLiteral("activities"));
        xml.writeEmptyElement(
            kRpid, lamp.call == LampCall::Busy ? QStringLiteral("on-the-phone") : QStringLiteral("busy"));
        xml.writeEndElement();
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return body.toStdString();
}

std::string MessageSummaryBody(std::string_view entity, StationLamp lamp)
{
    std::string body = "Messages-Waiting: ";
    body += lamp.messageWaiting ? "yes" : "no";
    body += "\r\nMessage-Account: ";
    body += entity;
    body += "\r\n";
    return body;
}

NotifyBodyParts NotifyBodyFor(SipEvent event, std::string_view entity, std::string_view station, StationLamp lamp)
{
    switch (event) {
    case SipEvent::Dialog: {
        // Written with version 0, and cut around that value.
        std::string body = DialogInfoBody(entity, station, 0, lamp);
        constexpr std::string_view kVersion = "version=\"";
        const std::size_t at = body.find("version=\"0\"");
        if (at == std::string::npos)
            return { std::move(body), {} };
        const std::size_t cut = at + kVersion.size();
        return { body.substr(0, cut), body.substr(cut + 1) };
    }
    case SipEvent::Presence:
        return { PidfBody(entity, station, lamp), {} };
    case SipEvent::MessageSummary:
        break;
    }
    return { MessageSummaryBody(entity, lamp), {} };
}

std::string NotifyBodyText(SipEvent event, const NotifyBodyParts& parts, std::uint32_t version)
{
    if (event != SipEvent::Dialog)
        return parts.head;
    std::string body;
    body.reserve(parts.head.size() + 10 + parts.tail.size());
    body += parts.head;
    body += std::to_string(version);
    body += parts.tail;
    return body;
}

} // namespace korvel
