#include "hub_commands.h"

#include "net/ipv4_address.h"
#include "relay/hub.h"

namespace korvel {

namespace {

const Failure kSaveFailed = Fail("the save failed: see the journal for the files");

} // namespace

HubCommands::HubCommands(Hub& hub, QObject* parent)
    : QObject(parent)
    , hub_(hub)
{
}

Result<void> HubCommands::addSystem(const NewSystem& system)
{
    if (!NumericIPv4(system.address, 0))
        return Fail("\"" + system.address + "\" is not an IPv4 address", Failure::Kind::Invalid);
    SystemTable& table = hub_.table();
    if (!table.AddSystem(system.address, system.name, system.velka ? kTypeVelka : kTypeQvx))
        return Fail(system.address + " is in the table already", Failure::Kind::Conflict);
    if (system.port)
        table.SetSystemPort(system.address, *system.port);
    return {};
}

Result<void> HubCommands::deleteSystem(const std::string& address)
{
    SystemTable& table = hub_.table();
    if (!table.FindSystem(address))
        return Fail("no system has the address " + address, Failure::Kind::NotFound);
    table.RemoveSystem(address);
    return {};
}

Result<void> HubCommands::initialize()
{
    hub_.table().ClearAllSystems();
    return hub_.SaveSystems() ? Result<void>() : kSaveFailed;
}

Result<void> HubCommands::setForwardStatus(bool forward)
{
    hub_.setForwardStatus(forward);
    return {};
}

Result<void> HubCommands::saveNow()
{
    return hub_.SaveSystems() ? Result<void>() : kSaveFailed;
}

Result<void> HubCommands::reload()
{
    hub_.reload();
    return {};
}

} // namespace korvel
