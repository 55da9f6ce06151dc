// Drives one HTTPRequestReader over a wire fed in pieces, as a connection does (bytes the reader
// leaves stay in front of the next ones), writes down what comes out and checks at every step
// what a connection relies on. Shared by the reader's unit test and its fuzzer, so needs no
// test framework. One thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "httpserver/HTTPRequestReader.h"

namespace vtr::test {

class RequestReaderDriver {
  public:
    struct Hooks {
        std::function<size_t()> nextCut;                    // the size of the next piece fed
        std::function<bool(const std::string&)> takesBody;  // whether a method expects a body
        std::function<void(const char* what)> broken;       // a broken invariant
    };

    RequestReaderDriver(std::string wire, uint64_t bodyLimit, size_t maxPiece, Hooks hooks)
        : reader_(bodyLimit),
          wire_(std::move(wire)),
          limit_(bodyLimit),
          maxPiece_(maxPiece),
          hooks_(std::move(hooks)) {}

    // Reads the whole wire. Returns what came out: "METHOD URL" for a head, "body ..." for the
    // body's bytes, "done" for a complete request, "error STATUS DETAIL" for the refusal that
    // ends it all (after which the reader is still fed, and must answer nothing but the error).
    std::vector<std::string> run() {
        while (true) {
            uint64_t wanted = reader_.bodyBytesWanted();
            HTTPRequestReader::Step step = reader_.read(buffer_, maxPiece_);
            check(step.consumed <= buffer_.size(), "more taken than given");
            if (failed_) {
                check(step.event == Event::Error && step.consumed == 0, "an event after an error");
                if (!feed()) return out_;
                continue;
            }
            switch (step.event) {
                case Event::NeedMore:
                    buffer_.erase(0, step.consumed);
                    // The connection's input buffer holds at most one line and what follows it.
                    check(buffer_.size() < HTTPRequestReader::kMaxHeaderLineLength,
                          "a line kept beyond its limit");
                    if (!feed()) return out_;
                    continue;
                case Event::Head:
                    onHead();
                    break;
                case Event::BodyPiece:
                    onBody(step, wanted);
                    break;
                case Event::BodyEnd:
                    check(reader_.bodyLength() == HTTPRequestReader::kChunkedBodyLength ||
                              bodyBytes_ == reader_.bodyLength(),
                          "a counted body that ended short");
                    done();
                    break;
                case Event::Error:
                    fail();
                    break;
            }
            buffer_.erase(0, step.consumed);
        }
    }

  private:
    using Event = HTTPRequestReader::Event;

    void check(bool condition, const char* what) {
        if (!condition) hooks_.broken(what);
    }

    bool feed() {
        if (fed_ == wire_.size()) return false;
        size_t cut = hooks_.nextCut();
        buffer_.append(wire_, fed_, cut);
        fed_ = std::min(wire_.size(), fed_ + cut);
        return true;
    }

    void onHead() {
        check(reader_.request().isHeaderComplete(), "a head event for an incomplete head");
        const std::string& method = reader_.request().method();
        out_.push_back(method + " " + reader_.request().url());
        bool body = hooks_.takesBody(method);
        bodyBytes_ = 0;
        if (!reader_.frameBody(body) || (body && !reader_.startBody())) return fail();
        check(body || reader_.complete(), "a request without a body is not complete");
        if (reader_.complete()) done();
    }

    void onBody(const HTTPRequestReader::Step& step, uint64_t wanted) {
        check(!step.body.empty() && step.body.size() <= maxPiece_, "a body piece out of size");
        check(step.body.data() + step.body.size() == buffer_.data() + step.consumed,
              "a body piece that is not the last bytes taken");
        check(wanted == 0 || step.body.size() <= wanted, "a piece beyond the bytes wanted");
        bodyBytes_ += step.body.size();
        uint64_t length = reader_.bodyLength();
        check(length == HTTPRequestReader::kChunkedBodyLength || bodyBytes_ <= length,
              "more body bytes than announced");
        check(limit_ == 0 || bodyBytes_ <= limit_, "more body bytes than the limit");
        if (out_.back().rfind("body ", 0) != 0) out_.push_back("body ");
        out_.back().append(step.body);
    }

    void done() {
        out_.push_back("done");
        reader_.nextRequest();
    }

    void fail() {
        int status = reader_.error().status;
        check(status == 0 || status == 400 || status == 413 || status == 501,
              "an error with an unexpected status");
        out_.push_back("error " + std::to_string(status) + " " + reader_.error().detail);
        failed_ = true;
    }

    HTTPRequestReader reader_;
    std::string wire_;
    uint64_t limit_;
    size_t maxPiece_;
    Hooks hooks_;
    size_t fed_ = 0;
    std::string buffer_;
    uint64_t bodyBytes_ = 0;  // of the request being read
    bool failed_ = false;
    std::vector<std::string> out_;
};

}  // namespace vtr::test
