#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace korvel {

// A system's station numbers in list order, with a lookup that ignores ASCII
// letter case and finds the first of equal numbers. Built for tables of
// thousands of systems of thousands of stations: a number (at most 16
// characters on the wire) is kept in 16 bytes of its own plus a length byte,
// and the lookup is an open-addressed table of 16-bit positions, about 26
// bytes a station in all, with no allocation per station. A text that does
// not fit (a longer line or a NUL byte in a hand-edited station file) is
// kept whole beside them.
//
// A copy is a list of its own. share() instead hands out a list that reads
// the same stations without copying them, for a reader on another thread (a
// save): whichever of the two changes first copies them then, so the reader
// never sees a change. Only the thread that owns the list calls share().
class StationList {
public:
    static constexpr std::size_t kWidth = 16;
    // Positions are 16-bit; a system never comes near this.
    static constexpr std::size_t kMaxSize = 0xFFFE;

    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;

        const_iterator() = default;
        std::string_view operator*() const { return (*list_)[index_]; }
        std::string_view operator[](difference_type n) const { return (*list_)[index_ + static_cast<std::size_t>(n)]; }
        const_iterator& operator++() { return ++index_, *this; }
        const_iterator operator++(int) { return { list_, index_++ }; }
        const_iterator& operator--() { return --index_, *this; }
        const_iterator operator--(int) { return { list_, index_-- }; }
        const_iterator& operator+=(difference_type n) { return index_ += static_cast<std::size_t>(n), *this; }
        const_iterator& operator-=(difference_type n) { return index_ -= static_cast<std::size_t>(n), *this; }
        friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
        friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
        friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
        friend difference_type operator-(const const_iterator& a, const const_iterator& b)
        {
            return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.index_ == b.index_; }
        friend auto operator<=>(const const_iterator& a, const const_iterator& b) { return a.index_ <=> b.index_; }

    private:
        friend class StationList;
        const_iterator(const StationList* list, std::size_t index)
            : list_(list)
            , index_(index)
        {
        }
        const StationList* list_ = nullptr;
        std::size_t index_ = 0;
    };
    using iterator = const_iterator;
    using value_type = std::string_view;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using reference = std::string_view;
    using const_reference = std::string_view;

    StationList() = default;
    StationList(std::initializer_list<std::string_view> stations);
    explicit StationList(const std::vector<std::string>& stations);
    StationList(const StationList& other)
        : data_(std::make_shared<Data>(*other.data_))
    {
    }
    StationList& operator=(const StationList& other)
    {
        if (this != &other) {
            data_ = std::make_shared<Data>(*other.data_);
            shared_ = false;
        }
        return *this;
    }
    // The list moved from is left empty, not without data.
    StationList(StationList&& other)
        : data_(std::exchange(other.data_, std::make_shared<Data>()))
        , shared_(std::exchange(other.shared_, false))
    {
    }
    StationList& operator=(StationList&& other)
    {
        std::swap(data_, other.data_);
        std::swap(shared_, other.shared_);
        return *this;
    }

    // The stations as they are now, without copying them.
    StationList share() const;

    std::size_t size() const { return data_->lengths.size(); }
    bool empty() const { return data_->lengths.empty(); }
    // Valid until the list changes.
    std::string_view operator[](std::size_t index) const;
    std::string_view back() const { return (*this)[size() - 1]; }
    const_iterator begin() const { return { this, 0 }; }
    const_iterator end() const { return { this, size() }; }

    // Position of the first station equal to `station` ignoring ASCII case,
    // or -1.
    std::ptrdiff_t find(std::string_view station) const;
    // Appends; false (and nothing appended) when the list holds kMaxSize.
    bool push_back(std::string_view station);
    void clear();
    // Room for `count` stations without growing again.
    void reserve(std::size_t count);
    std::size_t capacity() const { return data_->lengths.capacity(); }

    std::vector<std::string> toVector() const;
    friend bool operator==(const StationList& a, const StationList& b);
    friend bool operator==(const StationList& list, const std::vector<std::string>& strings);

private:
    struct Slot {
        char text[kWidth];
    };
    static constexpr std::uint8_t kKeptAside = 0xFF;
    static constexpr std::uint16_t kFree = 0xFFFF;

    static std::size_t Hash(std::string_view text);
    std::ptrdiff_t findHashed(std::string_view station, std::size_t hash) const;
    void index(std::size_t position, std::size_t hash);
    void rebuildIndex(std::size_t width);

    struct Data {
        std::vector<Slot> texts;
        std::vector<std::uint8_t> lengths;
        // Texts that do not fit a slot, by position.
        std::unordered_map<std::size_t, std::string> aside;
        // Open addressing, linear probing; a power of two at least twice the
        // stations, so probes stay short.
        std::vector<std::uint16_t> index;
    };
    // The data to change: a copy of its own first if it has been shared.
    Data& own();

    std::shared_ptr<Data> data_ = std::make_shared<Data>();
    // Set by share() on both lists; the data is then never changed in place.
    mutable bool shared_ = false;
};

} // namespace korvel
