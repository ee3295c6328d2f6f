// Writes the starting corpora of the three harnesses, every input built with
// the protocol's and the files' own builders:
//   make_seeds OUTPUT_FOLDER
// creates OUTPUT_FOLDER/decode_packet, /station_list and /system_files.

#include "decode_input.h"

#include "protocol/packet_builders.h"
#include "store/system_file_format.h"
#include "store/system_table.h"
#include "support/packets.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace korvel;
using korvel::testing::ByteVector;

namespace {

class Corpus {
public:
    Corpus(const std::filesystem::path& folder)
        : folder_(folder)
    {
        std::filesystem::create_directories(folder);
    }
    ~Corpus() { std::printf("%s: %d seeds\n", folder_.c_str(), count_); }
    void add(const std::vector<std::uint8_t>& bytes) { add(std::string(bytes.begin(), bytes.end())); }
    void add(const std::string& bytes)
    {
        char name[32];
        std::snprintf(name, sizeof name, "seed-%04d", count_++);
        std::ofstream(folder_ / name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

private:
    std::filesystem::path folder_;
    int count_ = 0;
};

std::vector<std::string> Stations(int first, int count)
{
    std::vector<std::string> stations;
    for (int i = 0; i < count; ++i)
        stations.push_back(std::to_string(first + i));
    return stations;
}

ByteVector WithHeader(std::uint8_t code, std::size_t size)
{
    ByteVector packet(size);
    SequenceCounter sequence;
    BuildHeader(sequence, packet, code, static_cast<std::uint16_t>(size));
    return packet;
}

ByteVector Register(const std::string& systemId, const std::string& source, const std::string& destination)
{
    ByteVector packet = WithHeader(MSG_REGISTER, wire::kRegisterSize);
    WriteField(packet, wire::kSystemIdOffset, wire::kSystemIdSize, systemId);
    WriteField(packet, wire::kRegisterSourceOffset, wire::kStationSize, source);
    WriteField(packet, wire::kRegisterDestinationOffset, wire::kStationSize, destination);
    return packet;
}

ByteVector StationList(std::uint8_t code, const std::string& systemId, const std::vector<std::string>& stations)
{
    ByteVector packet = WithHeader(code, wire::kListHeaderSize + wire::kStationSize * stations.size());
    WriteField(packet, wire::kSystemIdOffset, wire::kSystemIdSize, systemId);
    WriteU16(packet, wire::kListArraySizeOffset, static_cast<std::uint16_t>(stations.size()));
    WriteField(packet, wire::kListSourceOffset, wire::kStationSize, "40000");
    for (std::size_t i = 0; i < stations.size(); ++i)
        WriteField(packet, wire::kListFirstStationOffset + wire::kStationSize * i, wire::kStationSize, stations[i]);
    return packet;
}

ByteVector GetData(const std::string& systemId)
{
    ByteVector packet = WithHeader(MSG_GETDATA, wire::kGetDataSize);
    WriteField(packet, wire::kSystemIdOffset, wire::kSystemIdSize, systemId);
    return packet;
}

ByteVector GetDataV2(const std::string& systemId, std::uint16_t page)
{
    ByteVector packet = WithHeader(MSG_GETDATAv2, wire::kGetDataV2Size);
    WriteField(packet, wire::kSystemIdOffset, wire::kSystemIdSize, systemId);
    WriteU16(packet, wire::kPageIndexOffset, page);
    return packet;
}

ByteVector MultiAck(std::uint8_t code, const std::string& systemId, const std::vector<std::string>& stations)
{
    std::array<std::uint8_t, wire::kMaxMultiAckSize> buffer;
    const std::size_t length = FillMultiAck(buffer, systemId, stations);
    buffer[wire::kCodeOffset] = code;
    return ByteVector(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

ByteVector GetResponse(const std::vector<std::string>& stations, std::uint16_t page)
{
    std::array<std::uint8_t, wire::kMaxGetResponseSize> buffer;
    const std::size_t length = BuildGetResponse(buffer, 7, &stations, page);
    return ByteVector(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

ByteVector Report(const std::string& systemId, const std::vector<std::string>& stations)
{
    std::vector<std::pair<std::string, std::uint8_t>> entries;
    for (std::size_t i = 0; i < stations.size(); ++i)
        entries.emplace_back(stations[i], static_cast<std::uint8_t>(i % 6 == 5 ? 0xFF : i % 5));
    return testing::StatusReport(systemId, entries);
}

ByteVector Opaque(std::uint8_t code, std::size_t size)
{
    ByteVector packet = WithHeader(code, size);
    for (std::size_t i = wire::kHeaderSize; i < size; ++i)
        packet[i] = static_cast<std::uint8_t>('A' + i % 26);
    return packet;
}

// Every message the protocol knows, in the sizes peers send.
std::vector<ByteVector> Messages()
{
    const auto ack = BuildAck(258);
    const auto keepAlive = BuildKeepAlive();
    SequenceCounter sequence;
    const auto mismatch = BuildDataMismatch(sequence, "41100");
    return {
        ByteVector(ack.begin(), ack.end()),
        ByteVector(keepAlive.begin(), keepAlive.end()),
        ByteVector(mismatch.begin(), mismatch.end()),
        Register("QVX300", "40000", "41100"),
        StationList(MSG_REGISTERv2, "QVX300", Stations(41100, 3)),
        StationList(MSG_REGISTERv2, "VELKA", Stations(5000, 60)),
        StationList(MSG_UNREGISTER, "QVX300", Stations(41100, 2)),
        GetData("QVX300"),
        GetDataV2("QVX300", 1),
        GetResponse(Stations(41100, 61), 0),
        Report("QVX300", Stations(41100, 4)),
        Report("VELKA", { "5000", "5001", "5002" }),
        Report("QVX300", Stations(1, 80)),
        MultiAck(MSG_MULTACK, "QVX300", Stations(41100, 5)),
        MultiAck(MSG_UNREG_MULTACK, "QVX300", Stations(41100, 2)),
        testing::SystemRegister(9, "QVX500", 2, { 192, 168, 1, 10 }, 9100),
        Opaque(MSG_CLEAR, 20),
        Opaque(MSG_NAK, 8),
        Opaque(MSG_SYSTEM_UNREGISTER, 40),
        Opaque(0, 10),
        Opaque(17, 10),
    };
}

void DecodeSeeds(const std::filesystem::path& folder)
{
    using fuzz::Endpoint;
    Corpus corpus(folder);
    const std::vector<ByteVector> messages = Messages();
    for (const ByteVector& message : messages) {
        for (Endpoint endpoint : { Endpoint::Qvx, Endpoint::Velka, Endpoint::Rack, Endpoint::Tcp }) {
            std::vector<std::uint8_t> input;
            fuzz::AppendRecord(input, endpoint, endpoint == Endpoint::Velka ? 1 : 0, message);
            corpus.add(input);
        }
    }
    // Sequences that only reach their state together.
    std::vector<std::uint8_t> velka;
    fuzz::AppendRecord(velka, Endpoint::Velka, 3, StationList(MSG_REGISTERv2, "V2", { "7000", "7001" }));
    fuzz::AppendRecord(velka, Endpoint::Velka, 3, Report("V2", { "7000", "7002" }));
    fuzz::AppendRecord(velka, Endpoint::Velka, 3, GetDataV2("V2", 0));
    corpus.add(velka);
    std::vector<std::uint8_t> rekey;
    fuzz::AppendRecord(rekey, Endpoint::Tcp, 4, testing::SystemRegister(3, "MOVED", 2, { 192, 168, 1, 10 }, 9200));
    fuzz::AppendRecord(rekey, Endpoint::Qvx, 4, Report("MOVED", Stations(100, 3)));
    fuzz::AppendRecord(rekey, Endpoint::Tcp, 4, GetData("MOVED"));
    corpus.add(rekey);
    std::vector<std::uint8_t> pages;
    fuzz::AppendRecord(pages, Endpoint::Qvx, 0, Report("QVX300", Stations(50000, 120)));
    for (std::uint16_t page = 0; page < 4; ++page)
        fuzz::AppendRecord(pages, Endpoint::Tcp, 0, GetDataV2("QVX300", page));
    corpus.add(pages);
}

void StationListSeeds(const std::filesystem::path& folder)
{
    Corpus corpus(folder);
    for (int count : { 0, 1, 3, 50, 60, 124 }) {
        corpus.add(StationList(MSG_REGISTERv2, "QVX300", Stations(41100, count)));
        corpus.add(StationList(MSG_UNREGISTER, "VELKA", Stations(5000, count)));
        corpus.add(Report("QVX300", Stations(41100, count)));
        corpus.add(MultiAck(MSG_MULTACK, "QVX300", Stations(41100, count)));
    }
    corpus.add(StationList(MSG_REGISTERv2, std::string(32, 'S'), { std::string(16, '9'), "41100", "41100" }));
    corpus.add(Report(std::string(32, 'S'), { std::string(16, '9'), "ab", "AB" }));
    ByteVector claimsMore = Report("QVX300", Stations(41100, 3));
    WriteU16(claimsMore, wire::kEntryArraySizeOffset, 600);
    corpus.add(claimsMore);
}

void SystemFileSeeds(const std::filesystem::path& folder)
{
    Corpus corpus(folder);
    const std::string separator = "\n#stations#\n";
    SystemTable table(folder);
    table.appendEntry("127.0.0.2", "QVX300", kTypeQvx, 2, 9000, "192.168.1.10");
    table.appendEntry("127.0.0.3", "VELKA", kTypeVelka, 3, 9000, "");
    table.appendEntry("10.1.0.1", "", kTypeQvx, 2, 19000, "10.1.0.9");
    std::string current = datfile::FormatSystemHeader(19000);
    for (const SystemEntry& entry : table.systems())
        current += datfile::FormatSystemLine(entry);
    const std::string stations = datfile::FormatStationFile(Stations(41100, 5));
    corpus.add(current);
    corpus.add(current + separator + stations);
    corpus.add(current + separator
        + datfile::FormatStationFile(std::vector<std::string> { "41100", "", "abc def", std::string(16, '7') }));
    // Every older form the reader accepts.
    corpus.add("Version : 4\r\n127.0.0.2\t192.168.1.10\t9000\t0\t2\tQVX300\r\n");
    corpus.add("Version : 3\r\n127.0.0.2\t192.168.1.10\t0\t2\tQVX300\r\n" + separator + stations);
    corpus.add("Version : 2\r\n127.0.0.2\t192.168.1.10\t1\tVELKA\r\n");
    corpus.add("Version : 1\r\n127.0.0.2\t0\tQVX300\r\n");
    corpus.add("127.0.0.2\tQVX300\r\n127.0.0.3\tVELKA\r\n");
    corpus.add("Version : 6\r\nBase Port : 9000\r\n127.0.0.2\t127.0.0.2\t9000\t0\t2\tQVX300\r\n");
    corpus.add("Version : 5\r\n127.0.0.2\t127.0.0.2\t9000\t0\t2\tQVX300\r\n");
    corpus.add("Version : 5\r\nBase Port : 70000\r\n1.2.3.4\t\t-5\t+7\t2147483648\tx y\r\n" + std::string(300, 'z'));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTPUT_FOLDER\n");
        return 2;
    }
    const std::filesystem::path out = argv[1];
    DecodeSeeds(out / "decode_packet");
    StationListSeeds(out / "station_list");
    SystemFileSeeds(out / "system_files");
    return 0;
}
