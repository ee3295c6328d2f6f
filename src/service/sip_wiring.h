#pragma once

#include "service/service_options.h"

#include <QCommandLineParser>
#include <QString>

namespace korvel {

// The SIP presence server's options: --sip, --sip-domain and the bounds.
void AddSipOptions(QCommandLineParser& parser);
// Fills options.sip when --sip is given; the mistake, or an empty text.
QString TakeSipOptions(const QCommandLineParser& parser, ServiceOptions& options);

} // namespace korvel
