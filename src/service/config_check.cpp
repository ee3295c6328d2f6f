#include "config_check.h"

#include "relay/allow_list.h"
#include "store/system_files.h"
#include "store/system_table.h"

#include <QDir>
#include <QFile>

namespace korvel {

int CheckConfig(const Hub::Options& options, std::FILE* out)
{
    const std::filesystem::path& folder = options.dataDirectory;
    const QString qtFolder = QFile::decodeName(QByteArray::fromStdString(folder.native()));
    if (!QDir(qtFolder).exists()) {
        std::fprintf(out, "korvel: %s: no such folder; the hub would start with an empty table\n", folder.c_str());
        return 0;
    }

    // What the store's loader says, damage first (what a save would lose),
    // then what it assumed, then the allow list's lines.
    SystemTable table(folder);
    const LoadedSystems loaded = LoadSystems(table);
    std::vector<std::string> problems = loaded.damage;
    problems.insert(problems.end(), loaded.notes.begin(), loaded.notes.end());
    AllowList allowList;
    const std::filesystem::path allowPath = folder / "allow.txt";
    for (const AllowListProblem& problem : allowList.load(allowPath))
        problems.push_back(allowPath.native() + (problem.line > 0 ? ":" + std::to_string(problem.line) : std::string())
            + ": " + problem.message);

    for (const std::string& problem : problems)
        std::fprintf(out, "%s\n", problem.c_str());

    std::size_t stations = 0;
    for (const SystemEntry& entry : table.systems())
        stations += entry.Stations.size();
    const std::int32_t basePort = options.basePort.value_or(loaded.basePort.value_or(kDefaultBasePort));
    std::fprintf(out, "korvel: %s: %zu systems, %zu stations, base port %d, %s; %zu problem%s\n", folder.c_str(),
        table.systems().size(), stations, basePort,
        allowList.active() ? "allow.txt restricts who is served" : "no allow.txt, everyone is served", problems.size(),
        problems.size() == 1 ? "" : "s");
    std::fflush(out);
    return problems.empty() ? 0 : 1;
}

} // namespace korvel
