// HTTPConnectionQueue: the serial queue "HTTPConnection" that every connection of one server
// shares (a strand on the server's network thread), with what those connections share on it.
// Included only by the server's own sources: it brings in Asio. Connection queue only.
#pragma once

#include <ctime>
#include <string>

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

namespace vtr {

class HTTPConnectionQueue {
  public:
    using Strand = asio::strand<asio::io_context::executor_type>;

    explicit HTTPConnectionQueue(asio::io_context& context) : strand_(asio::make_strand(context)) {}

    const Strand& strand() const { return strand_; }

    // The "Date" header's value for now ("Sun, 06 Dec 2026 08:02:22 GMT"), formatted at most
    // once a second and independent of the process's locale.
    const std::string& dateHeaderValue();

  private:
    Strand strand_;
    std::time_t dateSecond_ = 0;
    std::string dateValue_;
};

}  // namespace vtr
