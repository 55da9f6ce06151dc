#include "httpserver/HTTPSocketOwner.h"

#include <netinet/in.h>

#include <array>
#include <charconv>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

namespace vtr {

namespace {

// An address in IPv6 form (IPv4 as IPv4-mapped) with its port, so both tables compare alike.
struct Endpoint {
    std::array<unsigned char, 16> address{};
    uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

std::array<unsigned char, 16> mappedAddress(const in_addr& v4) {
    std::array<unsigned char, 16> bytes{};
    bytes[10] = 0xff;
    bytes[11] = 0xff;
    std::memcpy(bytes.data() + 12, &v4.s_addr, 4);
    return bytes;
}

std::optional<Endpoint> endpointOf(const sockaddr* address) {
    if (!address) return std::nullopt;
    Endpoint endpoint;
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

template <class Number>
bool parseNumber(std::string_view text, Number* value, int base) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
    return error == std::errc() && end == text.data() + text.size();
}

// "0100007F:1F90" (tcp) or 32 hexadecimal digits and a port (tcp6). The kernel prints each
// 32-bit word of the address as a number in the machine's byte order, so each word is parsed
// as a number and stored back as it lies in memory.
std::optional<Endpoint> parseTableEndpoint(std::string_view text) {
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view address = text.substr(0, colon);
    uint32_t port = 0;
    if (!parseNumber(text.substr(colon + 1), &port, 16) || port > 0xffff) return std::nullopt;
    Endpoint endpoint;
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

// One table line whose addresses match. Unparsed when a field it is judged by is malformed.
struct Entry {
    bool parsed = false;
    uint32_t state = 0;
    uint32_t userID = 0;
    uint64_t inode = 0;
};

enum class TableRead { Read, Missing, Failed };

// Adds the lines of `tablePath` that list `peer` connected to `local`.
TableRead collectEntries(const std::string& tablePath, const Endpoint& peer, const Endpoint& local,
                         std::vector<Entry>* entries) {
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
        std::optional<Endpoint> own = parseTableEndpoint(fields[1]);
        if (!own || *own != peer) continue;
        std::optional<Endpoint> remote = parseTableEndpoint(fields[2]);
        if (!remote || *remote != local) continue;
        Entry entry;
        entry.parsed = count > kInodeField && parseNumber(fields[kStateField], &entry.state, 16) &&
                       parseNumber(fields[kUidField], &entry.userID, 10) &&
                       parseNumber(fields[kInodeField], &entry.inode, 10);
        entries->push_back(entry);
    }
    return table.bad() ? TableRead::Failed : TableRead::Read;
}

}  // namespace

HTTPPeerCheck HTTPCheckPeerUser(const std::string& tableDirectory, const sockaddr* peer,
                                const sockaddr* local, uint32_t allowedUserID) {
    std::optional<Endpoint> peerEndpoint = endpointOf(peer);
    std::optional<Endpoint> localEndpoint = endpointOf(local);
    if (!peerEndpoint || !localEndpoint) return {HTTPPeerVerdict::NoEntry};
    std::vector<Entry> entries;
    bool readAny = false;
    for (const char* table : {"/tcp", "/tcp6"}) {
        switch (collectEntries(tableDirectory + table, *peerEndpoint, *localEndpoint, &entries)) {
            case TableRead::Read:
                readAny = true;
                break;
            case TableRead::Missing:
                break;
            case TableRead::Failed:
                return {HTTPPeerVerdict::Unreadable};
        }
    }
    if (!readAny) return {HTTPPeerVerdict::Unreadable};
    if (entries.empty()) return {HTTPPeerVerdict::NoEntry};
    if (entries.size() > 1) return {HTTPPeerVerdict::SeveralEntries};
    const Entry& entry = entries.front();
    constexpr uint32_t kEstablished = 1;
    if (!entry.parsed) return {HTTPPeerVerdict::Unreadable};
    if (entry.state != kEstablished) return {HTTPPeerVerdict::NotConnected};
    if (entry.inode == 0) return {HTTPPeerVerdict::NotHeld};
    bool allowed = entry.userID == allowedUserID || entry.userID == 0;
    return {allowed ? HTTPPeerVerdict::Admitted : HTTPPeerVerdict::OtherUser, entry.userID};
}

}  // namespace vtr
