#include "allow_list.h"

#include <QFile>

namespace korvel {

namespace {

// QHostAddress::parseSubnet also takes classful short forms ("10" for
// 10.0.0.0/8, "127.1" for 127.1.0.0/16) that read as typing mistakes here, and
// IPv6, which the hub does not listen on: only a whole dotted quad is taken.
bool IsDottedQuad(const QString& text)
{
    if (text.count(QLatin1Char('.')) != 3)
        return false;
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv4Protocol;
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
        const auto subnet = QHostAddress::parseSubnet(entry);
        if (subnet.second < 0 || !IsDottedQuad(entry.section(QLatin1Char('/'), 0, 0))) {
            problems.push_back({ number, "not an IPv4 address or range: " + entry.toStdString() });
            continue;
        }
        ranges_.push_back(subnet);
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
