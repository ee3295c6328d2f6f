#include "allow_list.h"

#include "net/ipv4_address.h"

#include <QFile>
#include <QStringList>

#include <optional>

namespace korvel {

namespace {

// QHostAddress::parseSubnet also takes classful short forms ("10" for
// 10.0.0.0/8, "127.1" for 127.1.0.0/16) that read as typing mistakes here,
// octets with leading zeros, and IPv6, which the hub does not listen on: the
// address and a dotted mask must be what ParseIPv4 takes.
std::optional<std::string> RangeMistake(const QString& entry)
{
    const QStringList sides = entry.split(QLatin1Char('/'));
    for (qsizetype side = 0; side < sides.size() && side < 2; ++side) {
        if (side == 1 && !sides[side].contains(QLatin1Char('.')))
            continue;
        if (const auto parsed = ParseIPv4(sides[side].toStdString()); !parsed)
            return "not an IPv4 address or range: " + entry.toStdString() + ": " + parsed.error();
    }
    if (QHostAddress::parseSubnet(entry).second < 0)
        return "not an IPv4 address or range: " + entry.toStdString();
    return std::nullopt;
}

} // namespace

std::vector<AllowListProblem> AllowList::load(const std::filesystem::path& file)
{
    clear();
    QFile in(QFile::decodeName(QByteArray::fromStdString(file.native())));
    if (!in.exists())
        return {};
    active_ = true;
    if (!in.open(QIODevice::ReadOnly))
        return { { 0, "cannot be read (" + in.errorString().toStdString() + ")" } };

    std::vector<AllowListProblem> problems;
    int number = 0;
    while (!in.atEnd()) {
        QByteArray line = in.readLine();
        ++number;
        if (const qsizetype hash = line.indexOf('#'); hash >= 0)
            line.truncate(hash);
        const QString entry = QString::fromLatin1(line).trimmed();
        if (entry.isEmpty())
            continue;
        if (auto mistake = RangeMistake(entry)) {
            problems.push_back({ number, std::move(*mistake) });
            continue;
        }
        ranges_.push_back(QHostAddress::parseSubnet(entry));
    }
    if (in.error() != QFileDevice::NoError)
        problems.push_back(
            { 0, "read failed after line " + std::to_string(number) + ": " + in.errorString().toStdString() });
    return problems;
}

bool AllowList::allows(const QHostAddress& address) const
{
    if (!active_)
        return true;
    for (const auto& range : ranges_) {
        if (address.isInSubnet(range))
            return true;
    }
    return false;
}

bool AllowList::allows(const std::string& dottedAddress) const
{
    return !active_ || allows(QHostAddress(QString::fromStdString(dottedAddress)));
}

} // namespace korvel
