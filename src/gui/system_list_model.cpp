#include "system_list_model.h"

#include "gui/icons.h"
#include "gui/qt_text.h"
#include "store/system_table.h"

#include <QColor>
#include <QFont>

#include <algorithm>
#include <cstdlib>

namespace korvel {

namespace {

// The Status column's slot for a SystemStatus: Working, Error, No Data, Unknown.
int StatusSlot(SystemStatus status)
{
    const std::int32_t number = StatusNumber(status);
    return number >= StatusNumber(SystemStatus::Working) && number <= StatusNumber(SystemStatus::NoData) ? number : 3;
}

// Sorted by status, the systems to look at come first: Error, No Data, Unknown, Working.
constexpr int kStatusRank[] = { 3, 0, 1, 2 };

// A dotted IPv4 address as one number, so that .10 sorts after .9.
quint32 AddressKey(const std::string& address)
{
    quint32 key = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t end = std::min(address.find('.', at), address.size());
        key = key << 8 | static_cast<quint32>(std::atoi(address.substr(at, end - at).c_str()) & 0xFF);
        at = end + 1;
        if (at > address.size())
            at = address.size();
    }
    return key;
}

} // namespace

SystemListModel::SystemListModel(QObject* parent)
    : QAbstractTableModel(parent)
{
    for (int i = 0; i < kSystemImageCount; ++i)
        images_[static_cast<std::size_t>(i)] = SystemImage(i);
    for (int i = 0; i < 4; ++i)
        statusImages_[static_cast<std::size_t>(i)] = SystemStatusImage(i);
}

void SystemListModel::rebuild(const SystemTable& table)
{
    std::vector<Row> fresh;
    fresh.reserve(table.size());
    for (const SystemEntry& entry : table.systems()) {
        fresh.push_back(
            { entry.listOrder(), entry.Name, entry.IpAddress, entry.ToIp, entry.Status, entry.Type, entry.Port,
                entry.HeardSinceStart ? entry.LastHeard : 0, entry.EndpointType == kSilentEndpointType ? 2 : 0 });
    }
    auto cellsOf = [](const Row& row) {
        std::array<QString, ColumnCount> cells;
        // A system added by hand has no name until it reports: its address stands in.
        cells[NameColumn] = DisplayText(row.name.empty() ? row.ip : row.name);
        cells[IpAddressColumn] = DisplayText(row.ip);
        cells[StatusColumn] = QString::fromLatin1(SystemStatusName(row.status));
        cells[TypeColumn] = row.type == kTypeQvx ? QStringLiteral("QVX") : QStringLiteral("Velka");
        cells[ToIpColumn] = DisplayText(row.toIp);
        cells[PortColumn] = QString::number(row.port);
        return cells;
    };

    const bool sameRows = fresh.size() == rows_.size()
        && std::equal(
            fresh.begin(), fresh.end(), rows_.begin(), [](const Row& a, const Row& b) { return a.order == b.order; });
    if (!sameRows) {
        beginResetModel();
        rows_ = std::move(fresh);
        cells_.clear();
        cells_.reserve(rows_.size());
        for (const Row& row : rows_)
            cells_.push_back(cellsOf(row));
        endResetModel();
        return;
    }
    int first = -1;
    int last = -1;
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        if (fresh[i] == rows_[i])
            continue;
        rows_[i] = std::move(fresh[i]);
        cells_[i] = cellsOf(rows_[i]);
        if (first < 0)
            first = static_cast<int>(i);
        last = static_cast<int>(i);
    }
    if (first >= 0)
        emit dataChanged(index(first, 0), index(last, ColumnCount - 1));
}

void SystemListModel::noteSendFailure(const QString& host, const QDateTime& when)
{
    sendFailures_.insert(host, when);
    const std::string ip = FromQString(host);
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].ip == ip || rows_[i].toIp == ip)
            emit dataChanged(index(static_cast<int>(i), StatusColumn), index(static_cast<int>(i), StatusColumn));
}

int SystemListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int SystemListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString SystemListModel::statusTip(const Row& row) const
{
    QString tip = QStringLiteral("%1: %2").arg(QString::fromLatin1(SystemStatusName(row.status)), DisplayText(row.ip));
    tip += row.lastHeard > 0
        ? QStringLiteral("\nLast heard: %1")
              .arg(QDateTime::fromSecsSinceEpoch(row.lastHeard).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")))
        : QStringLiteral("\nNot heard since start");
    // Sends go to the system's forwarding address, which the failure names.
    const auto failure = sendFailures_.constFind(ToQString(row.toIp));
    tip += failure != sendFailures_.constEnd()
        ? QStringLiteral("\nLast send failure: %1").arg(failure->toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")))
        : QStringLiteral("\nNo send failure");
    return tip;
}

QVariant SystemListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const auto at = static_cast<std::size_t>(index.row());
    const Row& row = rows_[at];
    switch (role) {
    case Qt::DisplayRole:
        return cells_[at][static_cast<std::size_t>(index.column())];
    case Qt::DecorationRole:
        if (index.column() == NameColumn)
            return images_[static_cast<std::size_t>(row.image)];
        if (index.column() == StatusColumn)
            return statusImages_[static_cast<std::size_t>(StatusSlot(row.status))];
        return {};
    case Qt::ForegroundRole:
        if (index.column() == StatusColumn) {
            // Dark enough to read on a light list; the icon beside it tells the
            // states apart by shape as well.
            static const QColor colours[] = { QColor(0x1b, 0x6e, 0x28), QColor(0xb3, 0x1d, 0x1d),
                QColor(0x8a, 0x5a, 0x00), QColor(0x5c, 0x5c, 0x5c) };
            return colours[StatusSlot(row.status)];
        }
        return {};
    case Qt::ToolTipRole:
        if (index.column() == StatusColumn)
            return statusTip(row);
        return {};
    case Qt::FontRole:
        if (index.column() == NameColumn && row.name.empty()) {
            QFont standIn;
            standIn.setItalic(true);
            return standIn;
        }
        return {};
    case SortRole:
        switch (index.column()) {
        case NameColumn:
            return cells_[at][NameColumn].toLower();
        case IpAddressColumn:
            return AddressKey(row.ip);
        case StatusColumn:
            // The table's order among equals, whatever the list was sorted by before.
            return (static_cast<qint64>(kStatusRank[StatusSlot(row.status)]) << 32) | static_cast<qint64>(at);
        case ToIpColumn:
            return AddressKey(row.toIp);
        case PortColumn:
            return row.port;
        default:
            return cells_[at][static_cast<std::size_t>(index.column())];
        }
    case SearchRole:
        return cells_[at][NameColumn] + QLatin1Char('\n') + cells_[at][IpAddressColumn];
    default:
        return {};
    }
}

QVariant SystemListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NameColumn:
        return QStringLiteral("Name");
    case IpAddressColumn:
        return QStringLiteral("IP Address");
    case StatusColumn:
        return QStringLiteral("Status");
    case TypeColumn:
        return QStringLiteral("Type");
    case ToIpColumn:
        return QStringLiteral("To IP");
    case PortColumn:
        return QStringLiteral("Port");
    default:
        return {};
    }
}

QString SystemListModel::ipAddress(int row) const
{
    if (row < 0 || row >= static_cast<int>(rows_.size()))
        return {};
    return ToQString(rows_[static_cast<std::size_t>(row)].ip);
}

int SystemListModel::rowOf(std::uint64_t order) const
{
    const auto found = std::lower_bound(
        rows_.begin(), rows_.end(), order, [](const Row& row, std::uint64_t o) { return row.order < o; });
    return found != rows_.end() && found->order == order ? static_cast<int>(found - rows_.begin()) : -1;
}

} // namespace korvel
