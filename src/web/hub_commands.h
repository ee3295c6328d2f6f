#pragma once

#include "web/operator_commands.h"

#include <QObject>

namespace korvel {

class Hub;

// The operator's commands done on a hub directly, the way the window does
// them, for a hub started without the service object.
class HubCommands : public QObject, public OperatorCommands {
public:
    explicit HubCommands(Hub& hub, QObject* parent = nullptr);

    Result<void> addSystem(const NewSystem& system) override;
    Result<void> deleteSystem(const std::string& address) override;
    Result<void> initialize() override;
    Result<void> setForwardStatus(bool forward) override;
    Result<void> saveNow() override;
    Result<void> reload() override;

private:
    Hub& hub_;
};

} // namespace korvel
