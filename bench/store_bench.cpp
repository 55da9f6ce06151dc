// The job store's costs next to raw SQLite doing the same work on the same database, in one run:
//   1. a progress update as the job service makes it (new store, jobWithID, set one file's
//      bytesUploaded, save) against one raw transaction updating that row by primary key;
//   2. allJobs plus every job's dictionaryRepresentation for 10,000 jobs of 3 files against a
//      raw query reading the same rows;
//   3. jobWithID with 100 and with 100,000 jobs stored.
// Usage: store_bench [DIRECTORY]  (default: a new directory under /tmp, removed afterwards)
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "foundation/VTRHeapSettings.h"
#include "jobs/VTRManagedUploadFile.h"
#include "jobs/VTRManagedUploadJob.h"
#include "jobs/VTRSQLiteUploadJobStore.h"
#include "jobs/VTRStoreCoordinator.h"

namespace {

using namespace vtr;
using Clock = std::chrono::steady_clock;

// Microseconds per iteration of one run of `body`.
double timeOneRun(int iterations, const std::function<void(int)>& body) {
    auto start = Clock::now();
    for (int i = 0; i < iterations; ++i) body(i);
    std::chrono::duration<double, std::micro> elapsed = Clock::now() - start;
    return elapsed.count() / iterations;
}

// Best of `rounds` runs of `body`, in microseconds per iteration.
double timePerIteration(int rounds, int iterations, const std::function<void(int)>& body) {
    double best = 1e300;
    for (int round = 0; round < rounds; ++round)
        best = std::min(best, timeOneRun(iterations, body));
    return best;
}

struct Comparison {
    double ours = 1e300;
    double baseline = 1e300;
};

// Best of `rounds` runs of each body, the runs taking turns, so that a busy moment of the
// machine weighs on both figures alike.
Comparison compareInTurns(int rounds, int iterations, const std::function<void(int)>& ours,
                          const std::function<void(int)>& baseline) {
    Comparison best;
    for (int round = 0; round < rounds; ++round) {
        best.ours = std::min(best.ours, timeOneRun(iterations, ours));
        best.baseline = std::min(best.baseline, timeOneRun(iterations, baseline));
    }
    return best;
}

void check(bool ok, const char* what) {
    if (!ok) {
        fmt::print(stderr, "store_bench: {} failed\n", what);
        std::exit(1);
    }
}

void exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        fmt::print(stderr, "store_bench: {}: {}\n", sql, message ? message : "?");
        std::exit(1);
    }
}

// A raw connection set up as the coordinator sets up its own.
sqlite3* openRaw(const std::string& path) {
    sqlite3* db = nullptr;
    check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "raw open");
    exec(db,
         "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA foreign_keys = ON;"
         "PRAGMA mmap_size = 268435456;");
    return db;
}

// A database with `jobs` jobs "job-N" of 3 files each, filled with raw inserts for speed.
std::shared_ptr<VTRStoreCoordinator> makeDatabase(const std::string& path, int jobs) {
    check(VTRStoreCoordinator::open(path, nullptr) != nullptr, "create");
    sqlite3* db = openRaw(path);
    exec(db, "BEGIN");
    sqlite3_stmt* job = nullptr;
    sqlite3_stmt* file = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO UploadJob (version, jobID, serverURL, sessionID, credentials,"
                       " stateValue, errorStateValue, error, restartingValue)"
                       " VALUES (1, ?, 'https://recordings.example/upload.svc', ?, 'secret', 3,"
                       " -1, NULL, 0)",
                       -1, &job, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO UploadFile (version, localPath, remotePath, totalBytesValue,"
                       " bytesUploadedValue, closedValue, job) VALUES (1, ?, ?, 1000000, 0, 0, ?)",
                       -1, &file, nullptr);
    for (int i = 0; i < jobs; ++i) {
        std::string id = fmt::format("job-{}", i);
        sqlite3_bind_text(job, 1, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(job, 2, ("session-" + id).c_str(), -1, SQLITE_TRANSIENT);
        check(sqlite3_step(job) == SQLITE_DONE, "insert job");
        sqlite3_reset(job);
        int64_t jobPK = sqlite3_last_insert_rowid(db);
        for (int f = 0; f < 3; ++f) {
            std::string local = fmt::format("/recordings/{}/camera-{}.mov", id, f);
            std::string remote = fmt::format("camera-{}.mov", f);
            sqlite3_bind_text(file, 1, local.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(file, 2, remote.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(file, 3, jobPK);
            check(sqlite3_step(file) == SQLITE_DONE, "insert file");
            sqlite3_reset(file);
        }
    }
    sqlite3_finalize(job);
    sqlite3_finalize(file);
    exec(db, "COMMIT");
    sqlite3_close(db);
    auto coordinator = VTRStoreCoordinator::open(path, nullptr);
    check(coordinator != nullptr, "reopen");
    return coordinator;
}

void progressUpdate(const std::string& directory) {
    std::string path = directory + "/progress.sqlite";
    auto coordinator = makeDatabase(path, 100);
    const int iterations = 2000;
    uint64_t counter = 0;

    sqlite3* db = openRaw(path);
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* update = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
    sqlite3_prepare_v2(db, "UPDATE UploadFile SET bytesUploadedValue = ? WHERE pk = ?", -1, &update,
                       nullptr);
    sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
    auto store = [&](int i) {
        VTRSQLiteUploadJobStore jobStore(coordinator);
        VTRManagedUploadJob* job = jobStore.jobWithID(fmt::format("job-{}", i % 100));
        check(job != nullptr, "jobWithID");
        VTRManagedUploadFile* file = job->fileList().front();
        file->setBytesUploaded(++counter);
        check(jobStore.saveJob(job), "saveJob");
    };
    auto raw = [&](int i) {
        sqlite3_step(begin);
        sqlite3_reset(begin);
        sqlite3_bind_int64(update, 1, static_cast<int64_t>(++counter));
        sqlite3_bind_int64(update, 2, (i % 100) * 3 + 1);
        check(sqlite3_step(update) == SQLITE_DONE, "raw update");
        sqlite3_reset(update);
        check(sqlite3_step(commit) == SQLITE_DONE, "raw commit");
        sqlite3_reset(commit);
    };
    Comparison times = compareInTurns(5, iterations, store, raw);
    sqlite3_finalize(begin);
    sqlite3_finalize(update);
    sqlite3_finalize(commit);
    sqlite3_close(db);
    fmt::print(
        "progress update: store {:.1f} us, raw SQLite transaction {:.1f} us, ratio {:.2f}"
        " (limit 3)\n",
        times.ours, times.baseline, times.ours / times.baseline);
}

void listAllJobs(const std::string& directory) {
    std::string path = directory + "/list.sqlite";
    auto coordinator = makeDatabase(path, 10000);
    size_t bytes = 0;

    sqlite3* db = openRaw(path);
    sqlite3_stmt* jobs = nullptr;
    sqlite3_stmt* files = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT pk, version, jobID, serverURL, sessionID, credentials, stateValue,"
                       " errorStateValue, error, restartingValue FROM UploadJob",
                       -1, &jobs, nullptr);
    sqlite3_prepare_v2(db,
                       "SELECT pk, version, localPath, remotePath, totalBytesValue,"
                       " bytesUploadedValue, closedValue, job FROM UploadFile",
                       -1, &files, nullptr);
    auto store = [&](int) {
        VTRSQLiteUploadJobStore jobStore(coordinator);
        auto all = jobStore.allJobs();
        check(all && all->size() == 10000, "allJobs");
        for (VTRManagedUploadJob* job : *all) bytes += job->dictionaryRepresentation().size();
    };
    auto raw = [&](int) {
        for (sqlite3_stmt* statement : {jobs, files}) {
            int columns = sqlite3_column_count(statement);
            while (sqlite3_step(statement) == SQLITE_ROW) {
                for (int c = 0; c < columns; ++c) {
                    if (sqlite3_column_type(statement, c) == SQLITE_TEXT) {
                        bytes += static_cast<size_t>(sqlite3_column_bytes(statement, c));
                    } else {
                        bytes += static_cast<size_t>(sqlite3_column_int64(statement, c));
                    }
                }
            }
            sqlite3_reset(statement);
        }
    };
    Comparison times = compareInTurns(9, 1, store, raw);
    sqlite3_finalize(jobs);
    sqlite3_finalize(files);
    sqlite3_close(db);
    fmt::print(
        "allJobs + dictionaryRepresentation, 10,000 jobs x 3 files: store {:.1f} ms, raw "
        "SQLite query {:.1f} ms, ratio {:.2f} (limit 3)  [{}]\n",
        times.ours / 1000, times.baseline / 1000, times.ours / times.baseline, bytes % 10);
}

void lookupScaling(const std::string& directory) {
    // Looking up the same 100 jobs in both databases measures the index; looking up jobs spread
    // over the whole table also adds the cost of pages that are not yet in memory.
    double same[2], spread[2];
    int sizes[2] = {100, 100000};
    for (int s = 0; s < 2; ++s) {
        auto coordinator =
            makeDatabase(fmt::format("{}/lookup-{}.sqlite", directory, sizes[s]), sizes[s]);
        auto lookUp = [&](int n) {
            VTRSQLiteUploadJobStore jobStore(coordinator);
            check(jobStore.jobWithID(fmt::format("job-{}", n)) != nullptr, "jobWithID");
        };
        int step = sizes[s] / 100;
        same[s] = timePerIteration(5, 2000, [&](int i) { lookUp((i % 100) * step); });
        spread[s] = timePerIteration(5, 2000, [&](int i) {
            lookUp(static_cast<int>((static_cast<int64_t>(i) * 7919) % sizes[s]));
        });
    }
    fmt::print(
        "jobWithID, the same 100 jobs: {:.1f} us with 100 jobs stored, {:.1f} us with "
        "100,000, ratio {:.2f} (expected about 1)\n",
        same[0], same[1], same[1] / same[0]);
    fmt::print(
        "jobWithID, jobs spread over the table: {:.1f} us with 100 jobs stored, {:.1f} us "
        "with 100,000, ratio {:.2f}\n",
        spread[0], spread[1], spread[1] / spread[0]);
}

}  // namespace

int main(int argc, char** argv) {
    vtr::configureHeapForDaemon();
    std::string directory;
    bool temporary = argc < 2;
    if (temporary) {
        char pattern[] = "/tmp/store-bench-XXXXXX";
        check(mkdtemp(pattern) != nullptr, "mkdtemp");
        directory = pattern;
    } else {
        directory = argv[1];
    }
    progressUpdate(directory);
    listAllJobs(directory);
    lookupScaling(directory);
    if (temporary) std::filesystem::remove_all(directory);
    return 0;
}
