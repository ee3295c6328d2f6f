#include "station_list.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace korvel {

namespace {

constexpr std::size_t kSmallestIndex = 16;

unsigned char Folded(char c)
{
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

bool EqualFolded(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Folded(a[i]) != Folded(b[i]))
            return false;
    return true;
}

} // namespace

StationList::StationList(std::initializer_list<std::string_view> stations)
{
    reserve(stations.size());
    for (std::string_view station : stations)
        push_back(station);
}

StationList::StationList(const std::vector<std::string>& stations)
{
    reserve(stations.size());
    for (const std::string& station : stations)
        push_back(station);
}

std::string_view StationList::operator[](std::size_t index) const
{
    const Data& data = *data_;
    const std::uint8_t length = data.lengths[index];
    if (length == kKeptAside)
        return data.aside.at(index);
    return std::string_view(data.texts[index].text, length);
}

std::size_t StationList::Hash(std::string_view text)
{
    // FNV-1a over the folded bytes.
    std::uint64_t hash = 14695981039346656037ull;
    for (char c : text)
        hash = (hash ^ Folded(c)) * 1099511628211ull;
    return static_cast<std::size_t>(hash ^ (hash >> 32));
}

std::ptrdiff_t StationList::findHashed(std::string_view station, std::size_t hash) const
{
    const std::vector<std::uint16_t>& index = data_->index;
    if (index.empty())
        return -1;
    const std::size_t mask = index.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const std::uint16_t position = index[slot];
        if (position == kFree)
            return -1;
        if (EqualFolded((*this)[position], station))
            return position;
    }
}

std::ptrdiff_t StationList::find(std::string_view station) const
{
    return findHashed(station, Hash(station));
}

void StationList::index(std::size_t position, std::size_t hash)
{
    std::vector<std::uint16_t>& index = own().index;
    const std::size_t mask = index.size() - 1;
    std::size_t slot = hash & mask;
    while (index[slot] != kFree)
        slot = (slot + 1) & mask;
    index[slot] = static_cast<std::uint16_t>(position);
}

void StationList::rebuildIndex(std::size_t width)
{
    own().index.assign(width, kFree);
    // Positions in list order: of equal numbers, the first one is indexed.
    for (std::size_t position = 0; position < size(); ++position) {
        const std::string_view station = (*this)[position];
        const std::size_t hash = Hash(station);
        if (findHashed(station, hash) < 0)
            index(position, hash);
    }
}

void StationList::reserve(std::size_t count)
{
    count = std::min(count, kMaxSize);
    Data& data = own();
    data.texts.reserve(count);
    data.lengths.reserve(count);
}

bool StationList::push_back(std::string_view station)
{
    if (size() >= kMaxSize)
        return false;
    // Grows by a quarter rather than doubling: with thousands of systems the
    // unused room would cost more than the copies.
    Data& data = own();
    if (size() == data.lengths.capacity())
        reserve(std::max<std::size_t>(size() + size() / 4, 8));
    const std::size_t position = size();
    Slot slot {};
    if (station.size() <= kWidth && station.find('\0') == std::string_view::npos) {
        std::memcpy(slot.text, station.data(), station.size());
        data.lengths.push_back(static_cast<std::uint8_t>(station.size()));
    } else {
        data.aside.emplace(position, std::string(station));
        data.lengths.push_back(kKeptAside);
    }
    data.texts.push_back(slot);

    const std::size_t wanted = std::max(kSmallestIndex, std::bit_ceil(2 * size()));
    if (data.index.size() < wanted) {
        rebuildIndex(wanted);
        return true;
    }
    const std::size_t hash = Hash(station);
    if (findHashed(station, hash) < 0)
        index(position, hash);
    return true;
}

void StationList::clear()
{
    // A new, empty list: one shared with a reader stays as it was.
    data_ = std::make_shared<Data>();
    shared_ = false;
}

StationList StationList::share() const
{
    StationList view;
    view.data_ = data_;
    view.shared_ = true;
    shared_ = true;
    return view;
}

StationList::Data& StationList::own()
{
    if (shared_) {
        data_ = std::make_shared<Data>(*data_);
        shared_ = false;
    }
    return *data_;
}

std::vector<std::string> StationList::toVector() const
{
    return std::vector<std::string>(begin(), end());
}

bool operator==(const StationList& a, const StationList& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

bool operator==(const StationList& list, const std::vector<std::string>& strings)
{
    return std::equal(list.begin(), list.end(), strings.begin(), strings.end(),
        [](std::string_view a, const std::string& b) { return a == b; });
}

} // namespace korvel
