#pragma once

#include "store/system_files.h"
#include "store/system_table.h"

#include <optional>
#include <string>

// Tables that differ from one generation to the next in every field and in
// their length, so that a file mixing two saves, or cut short, cannot pass
// for a whole one.
namespace korvel::generated {

inline std::size_t SystemCount(int generation)
{
    return 500 + static_cast<std::size_t>(generation % 7);
}

inline std::string Address(std::size_t index)
{
    return "127.1." + std::to_string(index / 250) + "." + std::to_string(index % 250 + 1);
}

inline std::string Station(int generation, std::size_t index)
{
    return std::to_string(generation) + "-" + std::to_string(index);
}

inline std::size_t StationCount(int generation, std::size_t system)
{
    return 1 + (system + static_cast<std::size_t>(generation)) % 6;
}

inline void Fill(SystemTable& table, int generation)
{
    for (std::size_t i = 0; i < SystemCount(generation); ++i) {
        const std::string address = Address(i);
        table.appendEntry(address, "g" + std::to_string(generation), generation % 2, 2 + static_cast<int>(i % 2),
            9000 + generation % 1000, "172.16.0." + std::to_string(generation % 250));
        for (std::size_t k = 0; k < StationCount(generation, i); ++k)
            table.setStationStatus(address, Station(generation, k), 0);
    }
}

// The generation that a loaded table was saved as, or nullopt with the reason
// in `why`. Station files are replaced one by one, ahead of system.dat, so each
// may be one generation newer than the table; each must still be whole.
inline std::optional<int> GenerationOf(const SystemTable& table, std::string& why)
{
    if (table.size() == 0) {
        why = "empty table";
        return std::nullopt;
    }
    const std::string& firstName = table.systems().front().Name;
    if (firstName.size() < 2 || firstName[0] != 'g') {
        why = "unexpected name " + firstName;
        return std::nullopt;
    }
    const int generation = std::stoi(firstName.substr(1));
    if (table.size() != SystemCount(generation)) {
        why = "generation " + std::to_string(generation) + " has " + std::to_string(table.size()) + " systems";
        return std::nullopt;
    }
    std::size_t i = 0;
    for (const SystemEntry& entry : table.systems()) {
        const bool fieldsMatch = entry.IpAddress == Address(i) && entry.Name == firstName
            && entry.Type == generation % 2 && entry.EndpointType == 2 + static_cast<int>(i % 2)
            && entry.Port == 9000 + generation % 1000 && entry.ToIp == "172.16.0." + std::to_string(generation % 250);
        if (!fieldsMatch) {
            why = "system " + std::to_string(i) + " does not belong to generation " + std::to_string(generation);
            return std::nullopt;
        }
        bool stationsMatch = false;
        for (int stationGeneration : { generation, generation + 1 }) {
            std::vector<std::string> expected;
            for (std::size_t k = 0; k < StationCount(stationGeneration, i); ++k)
                expected.push_back(Station(stationGeneration, k));
            stationsMatch = stationsMatch || entry.Stations == expected;
        }
        if (!stationsMatch) {
            why = "station file of " + entry.IpAddress + " is not whole";
            return std::nullopt;
        }
        ++i;
    }
    return generation;
}

} // namespace korvel::generated
