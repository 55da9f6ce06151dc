#include "foundation/VTRSocketTable.h"

#include <netinet/in.h>

#include <charconv>
#include <cstring>
#include <fstream>
#include <string_view>

namespace vtr {

namespace {

std::array<unsigned char, 16> mappedAddress(const in_addr& v4) {
    std::array<unsigned char, 16> bytes{};
    bytes[10] = 0xff;
    bytes[11] = 0xff;
    std::memcpy(bytes.data() + 12, &v4.s_addr, 4);
    return bytes;
}

template <class Number>
bool parseNumber(std::string_view text, Number* value, int base) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
    return error == std::errc() && end == text.data() + text.size();
}

// "0100007F:1F90" (tcp) or 32 hexadecimal digits and a port (tcp6). The kernel prints each
// 32-bit word of the address as a number in the machine's byte order, so each word is parsed
// as a number and stored back as it lies in memory.
std::optional<VTRSocketEndpoint> parseTableEndpoint(std::string_view text) {
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view address = text.substr(0, colon);
    uint32_t port = 0;
    if (!parseNumber(text.substr(colon + 1), &port, 16) || port > 0xffff) return std::nullopt;
    VTRSocketEndpoint endpoint;
    endpoint.port = static_cast<uint16_t>(port);
    if (address.size() == 8) {
        in_addr v4{};
        if (!parseNumber(address, &v4.s_addr, 16)) return std::nullopt;
        endpoint.address = mappedAddress(v4);
        return endpoint;
    }
    if (address.size() == 32) {
        for (size_t word = 0; word < 4; ++word) {
            uint32_t value = 0;
            if (!parseNumber(address.substr(word * 8, 8), &value, 16)) return std::nullopt;
            std::memcpy(endpoint.address.data() + word * 4, &value, 4);
        }
        return endpoint;
    }
    return std::nullopt;
}

// The whitespace-separated fields of a table line, as many as fit.
template <size_t N>
size_t splitFields(std::string_view line, std::array<std::string_view, N>& fields) {
    size_t count = 0;
    size_t position = 0;
    while (count < N) {
        position = line.find_first_not_of(" \t", position);
        if (position == std::string_view::npos) break;
        size_t end = line.find_first_of(" \t", position);
        if (end == std::string_view::npos) end = line.size();
        fields[count++] = line.substr(position, end - position);
        position = end;
    }
    return count;
}

enum class TableRead { Read, Missing, Failed };

using Matcher = std::function<bool(const VTRSocketEndpoint&, const VTRSocketEndpoint&)>;

// Adds the lines of `tablePath` whose addresses `matches` accepts.
TableRead collectEntries(const std::string& tablePath, const Matcher& matches,
                         std::vector<VTRSocketTableEntry>* entries) {
    std::ifstream table(tablePath);
    if (!table) return TableRead::Missing;
    // The first line names the columns: sl local_address rem_address st tx_queue:rx_queue
    // tr:tm->when retrnsmt uid timeout inode ...
    std::string line;
    if (!std::getline(table, line)) return table.bad() ? TableRead::Failed : TableRead::Read;
    constexpr size_t kStateField = 3;
    constexpr size_t kUidField = 7;
    constexpr size_t kInodeField = 9;
    std::array<std::string_view, kInodeField + 1> fields;
    while (std::getline(table, line)) {
        size_t count = splitFields(line, fields);
        if (count < 3) continue;
        std::optional<VTRSocketEndpoint> local = parseTableEndpoint(fields[1]);
        std::optional<VTRSocketEndpoint> remote = parseTableEndpoint(fields[2]);
        if (!local || !remote || !matches(*local, *remote)) continue;
        VTRSocketTableEntry entry{*local, *remote};
        entry.parsed = count > kInodeField && parseNumber(fields[kStateField], &entry.state, 16) &&
                       parseNumber(fields[kUidField], &entry.userID, 10) &&
                       parseNumber(fields[kInodeField], &entry.inode, 10);
        entries->push_back(entry);
    }
    return table.bad() ? TableRead::Failed : TableRead::Read;
}

}  // namespace

VTRSocketEndpoint VTRSocketEndpoint::loopback(uint16_t port) {
    in_addr v4{};
    v4.s_addr = htonl(INADDR_LOOPBACK);
    return {mappedAddress(v4), port};
}

std::optional<VTRSocketEndpoint> VTRSocketEndpointOf(const sockaddr* address) {
    if (!address) return std::nullopt;
    VTRSocketEndpoint endpoint;
    if (address->sa_family == AF_INET) {
        sockaddr_in in{};
        std::memcpy(&in, address, sizeof in);
        endpoint.address = mappedAddress(in.sin_addr);
        endpoint.port = ntohs(in.sin_port);
        return endpoint;
    }
    if (address->sa_family == AF_INET6) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, address, sizeof in6);
        std::memcpy(endpoint.address.data(), in6.sin6_addr.s6_addr, 16);
        endpoint.port = ntohs(in6.sin6_port);
        return endpoint;
    }
    return std::nullopt;
}

std::optional<std::vector<VTRSocketTableEntry>> VTRReadSocketTables(
    const std::string& tableDirectory, const Matcher& matches) {
    std::vector<VTRSocketTableEntry> entries;
    bool readAny = false;
    for (const char* table : {"/tcp", "/tcp6"}) {
        switch (collectEntries(tableDirectory + table, matches, &entries)) {
            case TableRead::Read:
                readAny = true;
                break;
            case TableRead::Missing:
                break;
            case TableRead::Failed:
                return std::nullopt;
        }
    }
    if (!readAny) return std::nullopt;
    return entries;
}

}  // namespace vtr
