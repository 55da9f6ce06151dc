// HTTPNetworkThread: the process's one network thread. It runs every request operation's
// transfer on a libcurl multi handle and hands finished transfers back to their operations,
// which dispatch the handlers elsewhere. start() and cancel() may be called from any thread.
#pragma once

#include <memory>

namespace vtr {

class HTTPRequestOperation;

class HTTPNetworkThread {
  public:
    static HTTPNetworkThread& shared();

    HTTPNetworkThread();
    // Stops the thread; transfers still running are dropped without completing.
    ~HTTPNetworkThread();
    HTTPNetworkThread(const HTTPNetworkThread&) = delete;
    HTTPNetworkThread& operator=(const HTTPNetworkThread&) = delete;

    void start(std::shared_ptr<HTTPRequestOperation> operation);
    // Ends the operation's transfer with the cancelled error (-999), if it is still running.
    void cancel(std::shared_ptr<HTTPRequestOperation> operation);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vtr
