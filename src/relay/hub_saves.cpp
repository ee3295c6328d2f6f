#include "hub.h"

#include "log/console_log.h"
#include "log/notice.h"
#include "relay/keep_alive.h"
#include "store/system_files.h"

#include <algorithm>
#include <filesystem>

namespace korvel {

namespace {

const char* const kAllowListFile = "allow.txt";

} // namespace

void Hub::loadAllowList()
{
    owner_("loadAllowList");
    const auto path = options_.dataDirectory / kAllowListFile;
    std::error_code ignored;
    allowListTime_ = std::filesystem::last_write_time(path, ignored);
    AllowList candidate;
    const std::vector<AllowListProblem> problems = candidate.load(path);
    for (const AllowListProblem& problem : problems)
        Notify(
            console_, Severity::Warning, path.string() + ":" + std::to_string(problem.line) + ": " + problem.message);
    // A file that cannot be read, or has entries of which none can be taken,
    // says nothing about whom it meant to let in: the list read before stays
    // (at start-up there is none, and nobody comes in).
    const bool unreadable = std::any_of(
        problems.begin(), problems.end(), [](const AllowListProblem& problem) { return problem.line == 0; });
    const bool unusable = unreadable || (candidate.empty() && !problems.empty());
    if (unusable && allowListLoaded_) {
        Notify(console_, Severity::Warning, path.string() + " unusable: keeping the list read before");
        return;
    }
    if (unusable)
        Notify(console_, Severity::Warning, path.string() + " unusable: nobody is allowed in");
    allowList_ = std::move(candidate);
    allowListLoaded_ = !unusable;
    invalidatePlan();
}

void Hub::loadTable()
{
    LoadedSystems loaded = LoadSystems(table_);
    if (loaded.basePort)
        settings_.BasePort = *loaded.basePort;
    for (const std::string& note : loaded.notes)
        Notify(console_, Severity::Warning, note);
    for (const std::string& damage : loaded.damage)
        Notify(console_, Severity::Error, damage);
    tableDamaged_ = !loaded.damage.empty();
    loadProblems_ = std::move(loaded.notes);
    loadProblems_.insert(loadProblems_.end(), loaded.damage.begin(), loaded.damage.end());
    saver_.keepBackupOf(std::move(loaded.systemFileText));
}

bool Hub::saveSystems()
{
    owner_("saveSystems");
    catchUp();
    finishSave(saver_.wait());
    saveStarted_ = std::chrono::steady_clock::now();
    saver_.start(settings_.BasePort);
    return finishSave(saver_.wait());
}

bool Hub::startSave()
{
    owner_("startSave");
    finishSave(saver_.collect());
    if (saver_.busy())
        return false;
    catchUp();
    saveStarted_ = std::chrono::steady_clock::now();
    return saver_.start(settings_.BasePort);
}

bool Hub::finishSave(const std::optional<SaveReport>& report)
{
    if (!report)
        return true;
    lastSave_ = SaveRecord { true, report->ok(), std::chrono::steady_clock::now() - saveStarted_ };
    // A full disk fails every file alike: a few lines say it.
    constexpr std::size_t kLinesPerSave = 10;
    for (std::size_t i = 0; i < report->failures.size() && i < kLinesPerSave; ++i)
        Notify(console_, Severity::Error, report->failures[i].message());
    if (report->failures.size() > kLinesPerSave)
        Notify(console_, Severity::Error,
            "Cannot save " + std::to_string(report->failures.size() - kLinesPerSave) + " more files");
    emit saveFinished(report->ok());
    return report->ok();
}

void Hub::saveTick()
{
    // A save still writing when the next is due is left to finish; this
    // tick's changes go with the next one.
    startSave();
    SendKeepAlives(table_, *outbox_, console_, table_.now());
    std::error_code ignored;
    if (std::filesystem::last_write_time(options_.dataDirectory / kAllowListFile, ignored) != allowListTime_)
        loadAllowList();
}

} // namespace korvel
