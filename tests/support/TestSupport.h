// Helpers shared by the tests: throw-away directories, waiting on a condition with a deadline,
// and a log destination that keeps what it is given so tests can assert on log lines.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "logging/VTRLog.h"

namespace vtr::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Checks `condition` every `interval` until it holds or `timeout` passes; returns its last
// value. A longer interval suits checks that are exchanges with another process.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10),
               std::chrono::milliseconds interval = std::chrono::milliseconds(2));

// Writes `bytes` to `path`, replacing it.
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
// The contents of every file in `directory`, joined ("" when it does not exist).
std::string readFilesIn(const std::string& directory);
// `size` pseudo-random bytes from `seed`.
std::string randomBytes(size_t size, uint32_t seed = 1);
// A loopback port that was free a moment ago, so that nothing is likely to listen there.
uint16_t unusedLoopbackPort();
// A socket listening on 127.0.0.1 on a port of its own, which goes to `port`; -1 on failure.
int listenOnLoopback(uint16_t* port);

// Keeps every message it receives. Thread-safe.
class CapturingLogDestination : public VTRLogDestination {
  public:
    void logMessage(const VTRLogMessage& message) override;
    std::vector<VTRLogMessage> messages() const;
    std::vector<std::string> texts() const;

  private:
    mutable std::mutex mutex_;
    std::vector<VTRLogMessage> messages_;
};

// Attaches a capturing destination for the lifetime of this object.
class ScopedLogCapture {
  public:
    ScopedLogCapture();
    ~ScopedLogCapture();
    CapturingLogDestination& log() { return *destination_; }
    // Flush the facade first, so asynchronous messages issued before the call are seen.
    // True when some message's text equals `text` exactly.
    bool contains(const std::string& text);
    // True when some message's text contains `part`.
    bool containsPart(const std::string& part);
    std::vector<std::string> texts();

  private:
    std::shared_ptr<CapturingLogDestination> destination_;
};

}  // namespace vtr::test
