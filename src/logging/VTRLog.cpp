#include "logging/VTRLog.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/VTRPrintableText.h"
#include "logging/VTRTerminalLogDestination.h"

namespace vtr {

std::atomic<uint32_t> ddLogLevel{15};

namespace {

constexpr size_t kMaxPendingMessages = 1000;

// Messages carry text from outside (job ids, paths, server answers, URLs). Made safe here, for
// every caller and every destination: one message stays one line, a terminal reading the log
// obeys no escape sequence, and no password of a URL reaches a log.
std::string loggableText(std::string_view text) {
    return printableText(withoutURLUserInfo(text));
}

uint64_t currentThreadID() {
    thread_local const uint64_t id = static_cast<uint64_t>(gettid());
    return id;
}

// The facade's state and its consumer thread. The one instance is created on first use and
// never destroyed, and its thread is detached: messages issued from static destructors or after
// main() returns still work, and process exit never waits on a join.
class LogFacade {
  public:
    static LogFacade& shared() {
        static LogFacade* facade = new LogFacade;
        return *facade;
    }

    void addDestination(std::shared_ptr<VTRLogDestination> destination) {
        if (!destination) return;
        std::lock_guard lock(destinationsMutex_);
        destinations_.push_back(std::move(destination));
        destinationCount_.store(destinations_.size());
    }

    void removeDestination(const std::shared_ptr<VTRLogDestination>& destination) {
        {
            std::lock_guard lock(destinationsMutex_);
            destinations_.erase(
                std::remove(destinations_.begin(), destinations_.end(), destination),
                destinations_.end());
            destinationCount_.store(destinations_.size());
        }
        waitForDeliveryInProgress();
    }

    void removeAllDestinations() {
        {
            std::lock_guard lock(destinationsMutex_);
            destinations_.clear();
            destinationCount_.store(0);
        }
        waitForDeliveryInProgress();
    }

    void log(bool synchronous, VTRLogMessage message) {
        if (destinationCount_.load() == 0) return;
        std::unique_lock lock(queueMutex_);
        // A destination that logs runs on the consumer thread: waiting for room or for delivery
        // there would wait on itself, so its messages are queued and delivered later.
        bool onConsumer = std::this_thread::get_id() == consumerID_;
        if (!onConsumer && pendingMessages_ >= kMaxPendingMessages) {
            ++waitingCallers_;
            room_.wait(lock, [&] { return pendingMessages_ < kMaxPendingMessages; });
            --waitingCallers_;
        }
        uint64_t sequence = enqueueLocked(std::move(message), false);
        if (synchronous && !onConsumer)
            delivered_.wait(lock, [&] { return deliveredSequence_ >= sequence; });
    }

    void flush() {
        std::unique_lock lock(queueMutex_);
        if (std::this_thread::get_id() == consumerID_) return;
        uint64_t sequence = enqueueLocked({}, true);
        delivered_.wait(lock, [&] { return deliveredSequence_ >= sequence; });
    }

    size_t pendingMessageCount() {
        std::lock_guard lock(queueMutex_);
        return pendingMessages_;
    }

    size_t waitingCallerCount() {
        std::lock_guard lock(queueMutex_);
        return waitingCallers_;
    }

  private:
    struct Entry {
        VTRLogMessage message;
        bool flushOnly = false;
        uint64_t sequence = 0;
    };

    LogFacade() {
        std::thread consumer([this] { consume(); });
        consumerID_ = consumer.get_id();
        consumer.detach();
    }

    uint64_t enqueueLocked(VTRLogMessage message, bool flushOnly) {
        uint64_t sequence = nextSequence_++;
        queue_.push_back(Entry{std::move(message), flushOnly, sequence});
        if (!flushOnly) ++pendingMessages_;
        work_.notify_one();
        return sequence;
    }

    void consume() {
        for (;;) {
            Entry entry;
            {
                std::unique_lock lock(queueMutex_);
                work_.wait(lock, [&] { return !queue_.empty(); });
                entry = std::move(queue_.front());
                queue_.pop_front();
                if (!entry.flushOnly) {
                    --pendingMessages_;
                    room_.notify_one();
                }
            }
            deliver(entry);
            {
                std::lock_guard lock(queueMutex_);
                deliveredSequence_ = entry.sequence;
            }
            delivered_.notify_all();
        }
    }

    void deliver(const Entry& entry) {
        std::lock_guard delivery(deliveryMutex_);
        std::vector<std::shared_ptr<VTRLogDestination>> destinations;
        {
            std::lock_guard lock(destinationsMutex_);
            destinations = destinations_;
        }
        for (const auto& destination : destinations) {
            // A failing destination must not end the consumer thread: every synchronous
            // caller would then wait forever.
            try {
                if (entry.flushOnly)
                    destination->flush();
                else
                    destination->logMessage(entry.message);
            } catch (...) {
            }
        }
    }

    // After a destination is removed, a delivery already under way may still reach it; waiting
    // for that delivery lets the caller rely on no further calls. Skipped on the consumer
    // thread, which is the one delivering.
    void waitForDeliveryInProgress() {
        if (std::this_thread::get_id() == consumerID_) return;
        std::lock_guard delivery(deliveryMutex_);
    }

    std::mutex queueMutex_;
    std::condition_variable work_;       // the consumer waits for entries
    std::condition_variable room_;       // callers wait for the queue to drop below the limit
    std::condition_variable delivered_;  // synchronous callers and flush() wait for delivery
    std::deque<Entry> queue_;
    size_t pendingMessages_ = 0;
    size_t waitingCallers_ = 0;
    uint64_t nextSequence_ = 1;
    uint64_t deliveredSequence_ = 0;
    std::thread::id consumerID_;

    std::mutex deliveryMutex_;  // held by the consumer while it hands one entry out
    std::mutex destinationsMutex_;
    std::vector<std::shared_ptr<VTRLogDestination>> destinations_;
    std::atomic<size_t> destinationCount_{0};
};

}  // namespace

void VTRLog::addDestination(std::shared_ptr<VTRLogDestination> destination) {
    LogFacade::shared().addDestination(std::move(destination));
}

void VTRLog::removeDestination(const std::shared_ptr<VTRLogDestination>& destination) {
    LogFacade::shared().removeDestination(destination);
}

void VTRLog::removeAllDestinations() {
    LogFacade::shared().removeAllDestinations();
}

void VTRLog::log(bool synchronous, uint32_t level, uint32_t flag, int context, const char* file,
                 const char* function, int line, std::string text) {
    VTRLogMessage message;
    message.text = loggableText(text);
    message.timestamp = std::chrono::system_clock::now();
    message.level = level;
    message.flag = flag;
    message.context = context;
    message.file = file ? file : "";
    message.function = function ? function : "";
    message.line = line;
    message.threadID = currentThreadID();
    LogFacade::shared().log(synchronous, std::move(message));
}

void VTRLog::flush() {
    LogFacade::shared().flush();
}

size_t VTRLog::pendingMessageCount() {
    return LogFacade::shared().pendingMessageCount();
}

size_t VTRLog::waitingCallerCount() {
    return LogFacade::shared().waitingCallerCount();
}

void VTRConsoleLogText(const std::string& rawText) {
    std::string text = loggableText(rawText);
    // Standard error connected to the journal already puts the line there: no second copy
    // through the system log, and the priority the system log would have given.
    bool journal = isJournalStream(STDERR_FILENO, journalStreamVariable());
    // One write, so lines from several threads do not interleave.
    std::string line = (journal ? "<5>" : "") + text + "\n";
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        data += written;
        left -= static_cast<size_t>(written);
    }
    if (!journal) ::syslog(LOG_NOTICE, "%s", text.c_str());
}

}  // namespace vtr
