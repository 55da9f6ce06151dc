// Random lifecycles of upload jobs: the real job service over a real job database, driven the way
// the control API drives it (state changes, deletes, resent file lists), through daemon restarts
// and a recording service that fails, stalls and answers wrongly at random, with the retry pauses
// on a clock the test moves. After every step the stored jobs must still make sense.
//
// VTR_LIFECYCLE_SEED=<n> replays the sequences from seed n; VTR_LIFECYCLE_COUNT=<n> sets how many
// run. Workers run on real threads, so a replay repeats the steps but not always the timing.
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <list>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "ServiceTestFixture.h"
#include "foundation/VTROperation.h"
#include "jobs/VTRUploadDaemonConstants.h"
#include "upload/VTRRetryController.h"

#ifndef VTR_LIFECYCLE_SEQUENCES
#define VTR_LIFECYCLE_SEQUENCES 200
#endif

namespace vtr::test {
namespace {

using json = nlohmann::json;
using Method = ScriptedUploadService::Method;
using Answer = ScriptedUploadService::Answer;

// How the server fails a call when it misbehaves.
const char* const kServerError = "Request failed: internal server error (500)";
const char* const kDroppedConnection = "The network connection was lost.";
const char* const kOutOfOrder = "The server expected an earlier chunk (out of order).";
const Answer k500{.error = VTRError::withDescription(AFNetworkingErrorDomain,
                                                     NSURLErrorBadServerResponse, kServerError)};
const Answer kDrop{.error = VTRError::withDescription(
                       NSURLErrorDomain, NSURLErrorNetworkConnectionLost, kDroppedConnection)};
const Answer kWrongHash{.damage = true};
const Answer kRefusedOutOfOrder{.error =
                                    VTRError(AFNetworkingErrorDomain, NSURLErrorBadServerResponse,
                                             {{NSLocalizedDescriptionKey, kOutOfOrder},
                                              {VTRServerErrorCodeKey, "OutOfOrderUploadChunk"}})};

constexpr auto kSettleTimeout = std::chrono::seconds(15);
constexpr size_t kStepsPerSequence = 30;

// The retry pauses in virtual time: a pause ends once the test has let its length pass, when its
// operation is cancelled (the test calls advance(0) after anything that may cancel), or at once
// while instant. Any thread.
class PauseClock {
  public:
    explicit PauseClock(VTRRunLoop& loop) : loop_(loop) {}

    void advance(double seconds, std::optional<bool> instant = {}) {
        std::lock_guard lock(mutex_);
        now_ += seconds;
        instant_ = instant.value_or(instant_);
        changed_.notify_all();
    }
    // The retry controller's pause function.
    bool pause(double seconds) {
        VTROperation* operation = VTROperation::current();
        std::unique_lock lock(mutex_);
        auto waiter = waiters_.insert(waiters_.end(), Waiter{now_ + seconds, operation});
        loop_.post([] {});
        changed_.wait(lock, [&] { return ended(*waiter); });
        waiters_.erase(waiter);
        return !(operation && operation->isCancelled());
    }
    // Pauses that nothing has ended yet.
    size_t blocked() const {
        std::lock_guard lock(mutex_);
        return static_cast<size_t>(std::count_if(waiters_.begin(), waiters_.end(),
                                                 [&](const Waiter& w) { return !ended(w); }));
    }

  private:
    using Waiter = std::pair<double, VTROperation*>;  // when it is due, whose it is

    bool ended(const Waiter& w) const {
        return instant_ || now_ >= w.first || (w.second && w.second->isCancelled());
    }

    VTRRunLoop& loop_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    double now_ = 0;
    bool instant_ = false;
    std::list<Waiter> waiters_;
};

// How the recording service misbehaves for a while: per call, the chance of each misbehaviour.
struct Behaviour {
    const char* name;
    std::vector<std::tuple<Method, Answer, double>> odds;
};

const std::vector<Behaviour>& behaviours() {
    using M = Method;
    // clang-format off
    static const std::vector<Behaviour> table{
        {"healthy", {}},
        {"500s", {{M::ChunkSize, k500, 0.3}, {M::UploadChunk, k500, 0.3},
                  {M::TryCloseFile, k500, 0.3}}},
        {"dropped connections", {{M::ChunkSize, kDrop, 0.3}, {M::UploadChunk, kDrop, 0.3},
                                 {M::TryCloseFile, kDrop, 0.3}}},
        {"wrong hashes", {{M::UploadChunk, kWrongHash, 0.4}, {M::VerifyFile, {.value = false}, 0.2}}},
        {"out of order", {{M::UploadChunk, kRefusedOutOfOrder, 0.15}}},
        {"close answers Uploading", {{M::TryCloseFile, {.value = "Uploading"}, 0.6},
                                     {M::TryCloseFile, {.value = "ServerException"}, 0.03}}},
        {"mixed", {{M::UploadChunk, k500, 0.1}, {M::UploadChunk, kDrop, 0.1},
                   {M::UploadChunk, kWrongHash, 0.1}, {M::TryCloseFile, {.value = "Uploading"}, 0.3},
                   {M::TryCloseFile, k500, 0.1}}},
    };
    // clang-format on
    return table;
}

// clang-format off
enum Step { Run, Pause, Restart, Delete, Resend, Add, DaemonRestart, Misbehave, Hold, Release,
            LetTimePass };
// clang-format on
// Each step's weight in the draw, in the order above.
const int kStepWeights[] = {14, 10, 8, 3, 5, 3, 3, 8, 5, 4, 14};

struct JobModel {
    std::vector<std::string> remotes;  // also the local file's name
    std::vector<size_t> sizes;
    // Set by a restart: until the client changes the state again, the stored progress must come
    // from services made after this serial number.
    std::optional<uint64_t> restartedAt;
    // A restart asked of the service now running: the job must not wait in restart with nothing
    // uploading it.
    bool restartAsked = false;
};

// One random sequence of steps over a fresh database, service and script. Used only on the test's
// thread, which also runs the loop that delivers the reports.
class Lifecycle : JobDatabase {
  public:
    explicit Lifecycle(uint32_t seed) : random_(seed), serverRandom_(seed ^ 0x9e3779b9u) {}

    ~Lifecycle() {
        server_.setRule({});
        server_.release();
        clock_.advance(0, true);
        service_.reset();
        // Reports still queued let go of their operations when they run.
        loop_.runUntil([&] { return server_.liveServices() == 0; }, kSettleTimeout);
    }

    // Runs the steps, stops at the first violation, and ends with every fault cleared and the
    // jobs given time to finish.
    void run(size_t steps) {
        startService();
        stepLog.push_back("0: add");
        for (int i = 0; i < 2; ++i) addJob();
        for (size_t i = 0; i < steps && violations.empty(); ++i) {
            bool hot = coin(0.4);
            doStep(drawStep());
            hot ? void(stepLog.back() += " (no wait)") : settle();
            checkStore();
        }
        if (violations.empty()) quiesce();
    }

    std::vector<std::string> stepLog;
    std::vector<std::string> violations;

  private:
    // MARK: the service

    void startService() {
        VTRRemoteUploadJobService::Options options;
        options.requeueAtConstruction = false;
        options.uploadServiceFactory = server_.factory();
        options.pollingInterval = 0.001;
        options.requeueDelay = 0.01;
        options.firstRetryPause = 1.0;
        service_ =
            std::make_unique<VTRRemoteUploadJobService>(coordinator, loop_, std::move(options));
        // Set before any operation shares the controller; then the daemon's start-up re-queue.
        service_->retryController()->setPauseFunction(
            [this](double seconds) { return clock_.pause(seconds); });
        service_->retryController()->setConsoleLog([](const std::string&) {});
        service_->requeueRunningJobs();
    }

    // What the control API does after storing a job in a new state.
    void actOnState(VTRManagedUploadJob& job) {
        std::string id = job.jobID().value_or("");
        uint64_t before = server_.serviceURLs().size();
        bool restart = job.state() == VTRUploadJobStateRestart;
        if (job.state() == VTRUploadJobStateRunning)
            service_->uploadJobWithID(id);
        else if (restart)
            service_->restartUploadForJobWithJobID(id);
        else if (job.state() == VTRUploadJobStatePaused)
            service_->cancelJobWithJobID(id);
        else
            return;
        jobs_[id].restartedAt = restart ? std::optional(before) : std::nullopt;
        jobs_[id].restartAsked = restart;
        clock_.advance(0);
    }

    // A PUT of an existing job with `body`: the save merges what the service stored meanwhile,
    // and the control API acts on the state as stored.
    void put(const std::string& id, const json& body) {
        auto store = environment->newJobStore();
        VTRManagedUploadJob* job = store->jobWithID(id);
        if (job && (job->updateWithDictionary(body), store->saveJob(job))) actOnState(*job);
    }

    json fileList(const std::string& id) const {
        json files = json::array();
        for (const std::string& name : jobs_.at(id).remotes)
            files.push_back({{"local_path", dir.file(name)}, {"remote_path", name}});
        return files;
    }

    void addJob() {
        std::string id = fmt::format("j{}", nextJob_++);
        JobModel& model = jobs_[id];
        for (size_t i = 0, count = pick(3); i < count; ++i) {
            std::string name = id + "-" + std::to_string(i) + ".mp4";
            size_t size = pick(25);
            writeFile(dir.file(name), randomBytes(size, static_cast<uint32_t>(random_())));
            model.remotes.push_back(name);
            model.sizes.push_back(size);
        }
        std::string state = coin(0.5) ? "running" : "paused";
        auto store = environment->newJobStore();
        VTRError error;
        VTRManagedUploadJob* added = store->addJob(jobInput(id, state, fileList(id)), &error);
        if (!added) return violation("adding " + id + " failed: " + error.description());
        actOnState(*added);
        stepLog.back() += " " + id + " " + state + " sizes " + json(model.sizes).dump();
    }

    // MARK: steps

    size_t pick(size_t count) {
        return std::uniform_int_distribution<size_t>(0, count - 1)(random_);
    }
    bool coin(double chance) { return std::bernoulli_distribution(chance)(random_); }

    Step drawStep() {
        return Step(std::discrete_distribution<int>(std::begin(kStepWeights),
                                                    std::end(kStepWeights))(random_));
    }

    void doStep(Step step) {
        stepLog.push_back(std::to_string(stepLog.size()) + ":");
        std::string& line = stepLog.back();
        // A live job, or nothing when there is none.
        std::optional<std::string> id;
        if (!jobs_.empty())
            id = std::next(jobs_.begin(), static_cast<long>(pick(jobs_.size())))->first;
        bool needsJob = step <= Resend || step == Hold;
        if (needsJob && !id) return addStep(line);
        static const char* const kStates[] = {"running", "paused", "restart"};
        static const double kSpans[] = {0.5, 1, 3, 10, 100, 1000};
        const auto& table = behaviours();
        switch (step) {
            case Run:
            case Pause:
            case Restart:
                line += fmt::format(" {} {}", kStates[step], *id);
                return put(*id, {{"state", kStates[step]}});
            case Delete:
                line += " delete " + *id;
                if (!environment->newJobStore()->deleteJobWithID(*id)) return;
                service_->cancelJobWithJobID(*id);
                clock_.advance(0);
                jobs_.erase(*id);
                deleted_.insert(*id);
                return;
            case Resend:
                line += " resend the file list of " + *id;
                return put(*id, {{"file_list", fileList(*id)}});
            case Add:
                return addStep(line);
            case DaemonRestart:
                line += " daemon restart";
                clock_.advance(0, true);
                service_.reset();
                clock_.advance(0, false);
                // Jobs stored in restart wait for their client after a daemon restart.
                for (auto& [job, model] : jobs_) model.restartAsked = false;
                return startService();
            case Misbehave: {
                const Behaviour& behaviour = table[pick(table.size())];
                line += std::string(" server: ") + behaviour.name;
                return server_.setRule([this, odds = behaviour.odds](const auto& call) {
                    for (const auto& [method, answer, chance] : odds)
                        if (method == call.method &&
                            std::bernoulli_distribution(chance)(serverRandom_))
                            return answer;
                    return Answer{};
                });
            }
            case Hold:
                return hold(line, *id);
            case Release:
                line += " release held calls";
                return server_.release();
            case LetTimePass:
                double span = kSpans[pick(std::size(kSpans))];
                line += fmt::format(" {} s pass", span);
                return clock_.advance(span);
        }
    }

    void addStep(std::string& line) {
        line += " add";
        addJob();
    }

    // A delay: the next ChunkSize of a job, or one chunk of one of its files, waits for a release.
    void hold(std::string& line, const std::string& id) {
        const JobModel& model = jobs_.at(id);
        size_t file = pick(model.remotes.size() + 1);
        if (file == model.remotes.size() || model.sizes[file] == 0) {
            auto made = server_.callsOf(Method::ChunkSize);
            size_t calls = static_cast<size_t>(std::count_if(
                made.begin(), made.end(), [&](auto& call) { return call.serverURL == urlOf(id); }));
            line += " hold the next ChunkSize of " + id;
            return server_.holdChunkSize(urlOf(id), calls + 1);
        }
        uint64_t chunk = pick((model.sizes[file] - 1) / 4 + 1);
        line += fmt::format(" hold the chunk of {} at {}", model.remotes[file], chunk * 4);
        server_.holdUploadChunk(model.remotes[file], chunk * 4);
    }

    // MARK: waiting

    // Runs the loop until every operation that runs waits on something only the test ends (a
    // hold or a pause) and every report sent before that has been handled. Operations beyond
    // the queue's five wait in the queue for a worker.
    void settle() {
        auto quiet = [&] {
            checkRestarts();
            size_t running =
                std::min(server_.liveServices(), VTRRemoteUploadJobService::kMaxConcurrentUploads);
            return running == server_.heldCalls() + clock_.blocked();
        };
        for (int round = 0; round < 2; ++round) {
            if (!loop_.runUntil(quiet, kSettleTimeout))
                return violation(fmt::format("not settled: {} alive, {} held, {} pausing",
                                             server_.liveServices(), server_.heldCalls(),
                                             clock_.blocked()));
            bool flushed = false;
            loop_.post([&] { flushed = true; });
            loop_.runUntil([&] { return flushed; }, kSettleTimeout);
        }
    }

    // Every fault cleared, holds released, pauses instant: every job ends up completed, errored,
    // paused, or (with no operation) waiting in restart for the client.
    void quiesce() {
        stepLog.push_back("quiescence: healthy server, holds released, pauses end at once");
        server_.setRule({});
        server_.release();
        clock_.advance(0, true);
        auto done = [&] {
            checkRestarts();
            if (server_.liveServices() > 0) return false;
            auto store = environment->newJobStore();
            auto running = store->allJobsForState(VTRUploadJobStateRunning);
            return running && running->empty();
        };
        if (!loop_.runUntil(done, kSettleTimeout))
            violation(
                fmt::format("jobs left running, {} operations alive", server_.liveServices()));
        for (const auto& [id, model] : jobs_)
            if (model.restartAsked && stored(id)["state"] == "restart")
                violation("job " + id + " waits in restart with nothing uploading it");
        checkStore();
    }

    // MARK: invariants

    void violation(const std::string& text) {
        if (std::find(violations.begin(), violations.end(), text) == violations.end())
            violations.push_back(text);
    }

    // After a restart, the stored progress comes only from the operations made after it.
    void checkRestarts() {
        bool restarted = std::any_of(jobs_.begin(), jobs_.end(),
                                     [](const auto& job) { return job.second.restartedAt; });
        auto calls = restarted ? server_.calls() : std::vector<ScriptedUploadService::Call>{};
        for (const auto& [id, model] : jobs_) {
            if (!model.restartedAt) continue;
            json job = stored(id);
            for (const json& file : job.value("file_list", json::array())) {
                std::string remote = file["remote_path"];
                uint64_t bytes = file["bytes_uploaded"];
                uint64_t accepted = 0;
                bool closed = false;
                for (const auto& call : calls) {
                    if (call.file != remote || call.serial <= *model.restartedAt || !call.accepted)
                        continue;
                    if (call.method == Method::UploadChunk)
                        accepted = std::max<uint64_t>(accepted, call.offset + call.length);
                    closed |= call.method == Method::TryCloseFile;
                }
                if (bytes > accepted)
                    violation(fmt::format("restarted job {}: {} stored at {} bytes, {} accepted",
                                          id, remote, bytes, accepted));
                if (file["closed"] == true && !closed)
                    violation(
                        fmt::format("restarted job {}: {} stored closed too early", id, remote));
            }
        }
    }

    // An errored state this test's server can cause without a cancel: a second out-of-order
    // refusal, a checksum not confirmed twice, "ServerException" at the close. Retry budgets are
    // never spent, so anything else was stored by an operation that was cancelled.
    static bool failureIsTheServers(const json& job) {
        std::string type = job.value("error_type", "");
        std::string text = job["error"].is_string() ? job["error"].get<std::string>() : "";
        auto contains = [&](const char* part) { return text.find(part) != std::string::npos; };
        if (type == "verify") return true;
        if (type == "upload") return contains(kOutOfOrder);
        if (type == "close") return !contains(kServerError) && !contains(kDroppedConnection);
        return false;
    }

    void checkStore() {
        checkRestarts();
        auto store = environment->newJobStore();
        std::set<std::string> seen;
        for (VTRManagedUploadJob* record :
             store->allJobs().value_or(std::vector<VTRManagedUploadJob*>{})) {
            json job = record->dictionaryRepresentation();
            std::string id = job["id"];
            seen.insert(id);
            if (deleted_.count(id)) violation("deleted job " + id + " is stored again");
            if (!jobs_.count(id)) continue;
            if (job["state"] == "errored" && !failureIsTheServers(job))
                violation(fmt::format("job {} stored errored by a cancelled upload: {} {}", id,
                                      job["error_type"].dump(), job["error"].dump()));
            if (job["state"] == "completed") checkCompleted(id, job);
        }
        for (const auto& [id, model] : jobs_) {
            if (!seen.count(id)) violation("job " + id + " is gone from the store");
            if (size_t active = server_.activeCallers(urlOf(id)); active > 1)
                violation(fmt::format("job {} has {} operations uploading", id, active));
        }
        for (const std::string& id : deleted_)
            if (size_t active = server_.activeCallers(urlOf(id)); active > 0)
                violation(fmt::format("deleted job {} still has {} operations", id, active));
    }

    void checkCompleted(const std::string& id, const json& job) {
        const JobModel& model = jobs_.at(id);
        for (const json& file : job["file_list"]) {
            auto remote =
                std::find(model.remotes.begin(), model.remotes.end(), file["remote_path"]);
            if (remote == model.remotes.end()) continue;
            size_t size = model.sizes[static_cast<size_t>(remote - model.remotes.begin())];
            std::string held = server_.received(*remote), local = readFile(dir.file(*remote));
            if (file["closed"] != true || file["bytes_uploaded"] != size ||
                file["total_bytes"] != size || held != local)
                violation(fmt::format(
                    "job {} stored completed with {}; the server holds {} bytes, {}", id,
                    file.dump(), held.size(), held == local ? "identical" : "different"));
        }
    }

    std::mt19937 random_;
    std::mt19937 serverRandom_;  // drawn only under the script's lock
    VTRRunLoop loop_;
    ScriptedUploadService server_{&loop_};
    PauseClock clock_{loop_};
    std::unique_ptr<VTRRemoteUploadJobService> service_;
    std::map<std::string, JobModel> jobs_;
    std::set<std::string> deleted_;
    int nextJob_ = 1;
};

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

TEST(JobLifecycleTest, RandomSequencesKeepTheStoredJobsConsistent) {
    const uint64_t first = fromEnvironment("VTR_LIFECYCLE_SEED", std::random_device{}());
    const uint64_t count = fromEnvironment("VTR_LIFECYCLE_COUNT", VTR_LIFECYCLE_SEQUENCES);
    std::cout << "lifecycle: seeds " << first << " to " << first + count - 1 << std::endl;
    uint64_t steps = 0;
    uint64_t failed = 0;
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t seed = static_cast<uint32_t>(first + i);
        Lifecycle lifecycle(seed);
        lifecycle.run(kStepsPerSequence);
        steps += lifecycle.stepLog.size();
        if (lifecycle.violations.empty()) continue;
        // The first few in full; the rest only counted.
        if (++failed > 5) continue;
        std::string found;
        for (const std::string& text : lifecycle.violations) found += "\n  " + text;
        for (const std::string& line : lifecycle.stepLog) found += "\n  " + line;
        ADD_FAILURE() << "VTR_LIFECYCLE_SEED=" << seed << " VTR_LIFECYCLE_COUNT=1" << found;
    }
    std::cout << "lifecycle: " << count << " sequences, " << steps << " steps, " << failed
              << " with violations" << std::endl;
    EXPECT_EQ(failed, 0u);
}

}  // namespace
}  // namespace vtr::test
