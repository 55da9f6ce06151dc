// A blocking test client over a plain TCP socket that sends bytes exactly as given and reads
// replies with a deadline, so tests can speak malformed or pipelined HTTP to the server.
// One thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vtr::test {

struct RawReply {
    std::string statusLine;
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;  // as received
    std::string body;
    std::optional<std::string> header(const std::string& name) const;
};

class RawHTTPClient {
  public:
    // Connects to `host` ("127.0.0.1" or "::1") at `port`; connected() tells whether it worked.
    RawHTTPClient(uint16_t port, const std::string& host = "127.0.0.1");
    // A client to 127.0.0.1:`port` whose socket the kernel's socket tables list as owned by
    // `uid`. Needs root (else the socket is the caller's own).
    static std::unique_ptr<RawHTTPClient> connectedAsUser(uint32_t uid, uint16_t port);
    // Sends `bytes` on a connection of its own and reads the reply: status 0 when none came.
    static RawReply once(uint16_t port, const std::string& bytes,
                         const std::string& host = "127.0.0.1");
    ~RawHTTPClient();
    RawHTTPClient(const RawHTTPClient&) = delete;
    RawHTTPClient& operator=(const RawHTTPClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(const std::string& bytes);
    // send() then readReply(): nothing if either fails.
    std::optional<RawReply> exchange(const std::string& bytes, bool head = false);
    // Sends `bytes`; true when the server then closes without having sent a single byte.
    bool closesUnanswered(const std::string& bytes);
    // Reads one reply; `head` says the request was HEAD (no body follows). Nothing when the
    // connection ends or the deadline passes first.
    std::optional<RawReply> readReply(bool head = false,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True when the server closes (end of stream or reset) before the deadline. Bytes received
    // meanwhile are added to received().
    bool waitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads until the unconsumed bytes contain `text` `count` times; false when the connection
    // ends or the deadline passes first. For replies that never end, such as event streams.
    bool readUntil(const std::string& text, size_t count = 1,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Every byte read so far that no reply consumed.
    const std::string& received() const { return buffer_; }

  private:
    // Reads more into buffer_; false on end of stream or error (setting closed_), or deadline.
    bool fill(std::chrono::steady_clock::time_point deadline);
    bool readLine(std::string* line, std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    bool closed_ = false;
    std::string buffer_;
};

}  // namespace vtr::test
