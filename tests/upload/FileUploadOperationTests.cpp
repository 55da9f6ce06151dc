#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <thread>

#include "OperationHarness.h"
#include "foundation/VTRDataAdditions.h"
#include "foundation/VTRStreamAdditions.h"
#include "upload/VTRChunkReader.h"

namespace vtr::test {
namespace {

const std::string kTen = "0123456789";  // 10 bytes: chunks of 4, 4 and 2 at the default size
using Answer = ScriptedUploadService::Answer;
using Kinds = std::vector<std::string>;

std::string detail(const VTRError& error, const char* key) {
    const VTRValue* value = find(error.userInfo(), key);
    return value ? value->stringValue() : "<absent>";
}

// An error's domain and code, description, failure reason and file name, as one text.
std::string summary(const VTRError& error) {
    return error.domain() + " " + std::to_string(error.code()) + " | " +
           error.localizedDescription() + " | " + error.localizedFailureReason() + " | " +
           detail(error, "filenamekey");
}

// MARK: start of the run

// A run without files still asks for the chunk size; a cancelled one, or one whose dependency was
// cancelled, calls nothing. Each only completes.
TEST(FileUploadOperationStartTest, EmptyOrCancelledRunOnlyCompletes) {
    for (std::string run : {"no files", "cancelled dependency", "cancelled"}) {
        SCOPED_TRACE(run);
        OperationHarness h;
        auto operation = run == "no files" ? h.make({}) : h.makeOne(kTen);
        if (run == "cancelled dependency") {
            auto cancelled = h.make({});
            cancelled->cancel();
            operation->addDependency(cancelled);
        } else if (run == "cancelled") {
            operation->cancel();
        }
        ASSERT_TRUE(h.run(operation));
        EXPECT_EQ(h.delegate.kinds(), Kinds{"completed"});
        EXPECT_EQ(h.server.callsOf(Method::ChunkSize).size(), run == "no files" ? 1u : 0u);
        EXPECT_EQ(h.server.calls().size(), h.server.callsOf(Method::ChunkSize).size());
    }
}

// The chunk size cannot be had (every attempt fails to connect) or is of no use: one report of
// code 80 that names no file, and nothing is sent.
TEST(FileUploadOperationStartTest, UnusableOrOversizedChunkSizeIsReportedInsteadOfUsed) {
    const std::tuple<int32_t, size_t, std::string> cases[] = {
        {4, 3, "scripted URL error"},  // the call's answers below
        {0, 1, "The server reported an unusable chunk size of 0 bytes"},
        {-1, 1, "The server reported an unusable chunk size of -1 bytes"},
        {16777217, 1, "The server's chunk size of 16777217 bytes exceeds the maximum of 16777216"},
    };
    for (const auto& [answer, calls, reason] : cases) {
        SCOPED_TRACE(answer);
        OperationHarness h;
        h.server.chunkSize = answer;
        for (size_t i = 0; calls > 1 && i < calls; ++i)
            h.server.answer(Method::ChunkSize, {.error = urlError(NSURLErrorCannotConnectToHost)});
        auto operation = h.makeOne(kTen);
        ASSERT_TRUE(h.run(operation));
        EXPECT_EQ(h.server.calls().size(), calls);
        EXPECT_EQ(h.delegate.kinds(), (Kinds{"failedInit", "completed"}));
        Report report = h.delegate.reportsOf("failedInit").at(0);
        EXPECT_FALSE(report.file.has_value());
        EXPECT_EQ(summary(*report.error),
                  "Vantrel 80 | Upload failed to start | " + reason + " | <absent>");
        EXPECT_EQ(detail(*report.error, "sessionidkey"), "session-1");
        const VTRError* inner = report.error->innerError();
        EXPECT_EQ(inner ? inner->code() : 0,
                  calls > 1 ? int64_t{NSURLErrorCannotConnectToHost} : 0);
        EXPECT_EQ(operation->bufferCapacity(), 0u);
    }
}

TEST(FileUploadOperationStartTest, HeldRetryPauseShowsWhatFailedAndWhenTheNextAttemptComes) {
    const std::tuple<VTRError, std::string, std::string> cases[] = {
        {serverCodeError("Busy"), "waiting_to_retry", "Expected status code in (200-299), got 500"},
        {urlError(NSURLErrorCannotConnectToHost), "waiting_for_network", "scripted URL error"},
    };
    for (const auto& [error, phase, reason] : cases) {
        SCOPED_TRACE(phase);
        OperationHarness h;
        std::shared_ptr<VTRFileUploadOperation> operation;
        std::optional<VTRUploadActivitySnapshot> during;
        h.retry->setPauseFunction([&](double) {
            during = operation->activity()->snapshot();
            return true;
        });
        h.server.answer(Method::UploadChunk, {.error = error});
        operation = h.make({makeFileInfo(h.makeFile("a", kTen), "remote/a.mp4", 0)});
        ASSERT_TRUE(h.run(operation));

        ASSERT_TRUE(during && during->retry);
        EXPECT_EQ(VTRUploadPhaseName(during->phase), phase);
        EXPECT_EQ(during->file, "remote/a.mp4");
        EXPECT_EQ(during->retry->method, "UploadChunk");
        EXPECT_EQ(during->retry->attempt, 1u);
        EXPECT_EQ(during->retry->reason, reason);
        EXPECT_GT(during->retry->nextAttemptInSeconds, 3.0);
        // Once the call succeeded, and after the run, nothing waits any more.
        VTRUploadActivitySnapshot after = operation->activity()->snapshot();
        EXPECT_FALSE(after.retry.has_value());
        EXPECT_STREQ(VTRUploadPhaseName(after.phase), "close");
        EXPECT_GT(after.bytesPerSecond, 0.0);
        EXPECT_EQ(h.server.received("remote/a.mp4"), kTen);
    }
}

// MARK: chunked transfer

// One file "a" of ten bytes, starting at an offset, through a scripted server: what the operation
// sends and reports, every report on the thread that runs the loop.
TEST(FileUploadOperationTransferTest, ServerAnswersDecideWhatIsSentAgainAndReported) {
    const Answer timeOut{.error = urlError(NSURLErrorTimedOut)};
    const Answer outOfOrder{.error = serverCodeError("OutOfOrderUploadChunk")};
    const Answer closeLost{.error = urlError(NSURLErrorNetworkConnectionLost)};
    using Script = std::vector<std::pair<Method, Answer>>;
    auto times = [](int n, Method method, Answer answer) { return Script(n, {method, answer}); };
    struct Case {
        const char* name;
        uint64_t offset;
        Script script;
        std::string kinds;              // reported, in order
        std::vector<uint64_t> offsets;  // of UploadChunk
        size_t verifies, closes, pauses;
        int64_t code = 0;  // of the last error reported (0: none checked)
        std::string serverCode = {};
        bool closed = false;      // stored as closed already
        bool secondFile = false;  // a file "b" follows
    };
    const Answer expired{.error = serverCodeError("SessionExpired")};
    // clang-format off
    const std::vector<Case> cases = {
        {"whole file", 0, {}, "uploaded uploaded uploaded closed completed", {0, 4, 8}, 1, 1, 0},
        {"resume mid-chunk", 3, {}, "uploaded uploaded closed completed", {3, 7}, 1, 1, 0},
        {"all sent", 10, {}, "closed completed", {}, 1, 1, 0},
        {"already closed", 10, {}, "closed completed", {}, 1, 0, 0, 0, "", true},
        {"chunk time-outs", 0, times(2, Method::UploadChunk, timeOut),
         "uploaded uploaded uploaded closed completed", {0, 0, 0, 4, 8}, 1, 1, 2},
        {"chunk refused on every attempt", 0,
         {{Method::UploadChunk, {}}, {Method::UploadChunk, expired},
          {Method::UploadChunk, expired}, {Method::UploadChunk, expired}},
         "uploaded failedUpload completed", {0, 4, 4, 4}, 0, 0, 2, 83, "SessionExpired", false,
         true},
        {"out of order once", 0, {{Method::UploadChunk, {}}, {Method::UploadChunk, outOfOrder}},
         "uploaded restarted uploaded uploaded uploaded closed completed", {0, 4, 0, 4, 8}, 1, 1,
         0, 0, "OutOfOrderUploadChunk"},
        {"out of order twice", 4, times(2, Method::UploadChunk, outOfOrder),
         "restarted failedUpload completed", {4, 0}, 0, 0, 0, 83, "OutOfOrderUploadChunk"},
        {"mismatch once", 4, times(1, Method::VerifyFile, {.value = false}),
         "uploaded uploaded restarted uploaded uploaded uploaded closed completed",
         {4, 8, 0, 4, 8}, 2, 1, 0, 95},
        {"mismatch twice", 0, times(2, Method::VerifyFile, {.value = false}),
         "uploaded uploaded uploaded restarted uploaded uploaded uploaded failedVerify completed",
         {0, 4, 8, 0, 4, 8}, 2, 0, 0, 95},
        {"malformed checksum", 10,
         times(1, Method::VerifyFile, {.error = serverCodeError("MalformedChecksum")}),
         "failedVerify completed", {}, 1, 0, 0, NSURLErrorBadServerResponse, "MalformedChecksum"},
        {"verify time-outs", 10, times(2, Method::VerifyFile, timeOut), "closed completed", {},
         3, 1, 2},
        {"verify time-outs to the end", 10, times(3, Method::VerifyFile, timeOut),
         "failedVerify completed", {}, 3, 0, 2, NSURLErrorTimedOut},
        {"close polls", 10, times(3, Method::TryCloseFile, {.value = "Uploading"}),
         "closed completed", {}, 1, 4, 0},
        {"close finds the file not uploaded", 10,
         times(1, Method::TryCloseFile, {.value = "NotUploaded"}),
         "restarted uploaded uploaded uploaded closed completed", {0, 4, 8}, 2, 2, 0, 79},
        {"server exception at the close", 10,
         times(1, Method::TryCloseFile, {.value = "ServerException"}), "failedClose completed",
         {}, 1, 1, 0, 79, "", false, true},
        {"close connection lost once", 10, times(1, Method::TryCloseFile, closeLost),
         "closed completed", {}, 1, 2, 1},
        {"close connection lost to the end", 10, times(3, Method::TryCloseFile, closeLost),
         "failedClose completed", {}, 1, 3, 2, 79},
        {"empty close answers", 10, times(3, Method::TryCloseFile, {.value = VTRValue()}),
         "failedClose completed", {}, 1, 3, 2, 79, "", false, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OperationHarness h;
        for (const auto& [method, answer] : c.script) h.server.answer(method, answer);
        std::vector<VTRDictionary> files{
            makeFileInfo(h.makeFile("a", kTen), "a", c.offset, c.closed)};
        if (c.secondFile) files.push_back(makeFileInfo(h.makeFile("b", kTen), "b", 0));
        ASSERT_TRUE(h.run(h.make(files)));

        std::string kinds;
        for (const std::string& kind : h.delegate.kinds())
            kinds += (kinds.empty() ? "" : " ") + kind;
        EXPECT_EQ(kinds, c.kinds);
        EXPECT_EQ(h.server.offsets("a"), c.offsets);
        EXPECT_TRUE(h.server.offsets("b").empty());
        EXPECT_EQ(h.server.callsOf(Method::VerifyFile).size(), c.verifies);
        EXPECT_EQ(h.server.callsOf(Method::TryCloseFile).size(), c.closes);
        EXPECT_EQ(h.pauses().size(), c.pauses);
        if (!c.offsets.empty() && c.kinds.ends_with("closed completed")) {
            EXPECT_EQ(h.server.received("a").substr(c.offset), kTen.substr(c.offset));
        }
        for (const Report& report : h.delegate.reports()) {
            EXPECT_EQ(report.thread, std::this_thread::get_id()) << report.kind;
            EXPECT_EQ(report.recording, "job-1");
        }
        std::optional<VTRError> last;
        for (const Report& report : h.delegate.reports())
            if (report.error) last = report.error;
        if (c.code) {
            ASSERT_TRUE(last);
            EXPECT_EQ(last->code(), c.code);
            if (c.code == VTRErrorCodeChecksumNotConfirmed) {
                EXPECT_EQ(last->localizedDescription(), "Transmission error during upload");
            }
        }
        if (!c.serverCode.empty()) {
            ASSERT_TRUE(last);
            EXPECT_EQ(detail(*last, "X-VTRErrorCode"), c.serverCode);
        }
    }
}

// The whole-file checksum comes from the transfer's own reads when the file stayed as it was; a
// file that changes during its upload is read again for it, as it is by then. Two buffers of the
// chunk size at most serve the transfer, one when the chunk size is larger than the file.
TEST(FileUploadOperationTransferTest, ChecksumIsTheMD5OfTheFileAsItIsAtTheEnd) {
    const auto rewrite = [](const std::string& path) { writeFile(path, "abcdefghij"); };
    const auto replace = [](const std::string& path) {
        writeFile(path + ".new", "abcdefghij");
        ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
    };
    struct Case {
        const char* name;
        size_t fileSize, chunkSize, offset;
        std::function<void(const std::string& path)> change = {};  // at the chunk at offset 4
    };
    const Case cases[] = {
        {"from offset 0", 256 * 1024, 64 * 1024, 0},
        {"empty", 0, 4, 0},
        {"resumed past several MiB", 3 * 1024 * 1024 + 5, 256 * 1024, 2 * 1024 * 1024 + 1},
        {"short last chunk", 10, 4, 0},
        {"chunk size larger than the file", 4096, 16 * 1024 * 1024, 0},
        {"rewritten in place", 10, 4, 0, rewrite},
        {"replaced by a file of the same size", 10, 4, 0, replace},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OperationHarness h;
        h.server.chunkSize = static_cast<int32_t>(c.chunkSize);
        const std::string bytes = randomBytes(c.fileSize, 3);
        const std::string path = h.makeFile("a", bytes);
        ageFile(path);
        if (c.change) {
            h.server.setRule([&](const ScriptedUploadService::Call& call) {
                if (call.method == Method::UploadChunk && call.offset == 4) c.change(path);
                return Answer{};
            });
        }
        auto operation = h.make({makeFileInfo(path, "a", c.offset)});
        ASSERT_TRUE(h.run(operation));
        const std::string now = c.change ? "abcdefghij" : bytes;
        EXPECT_EQ(h.server.callsOf(Method::VerifyFile).at(0).checksum,
                  base64String(md5Digest(now)));
        // An empty file is hashed without a transfer.
        EXPECT_TRUE(c.fileSize == 0 ||
                    h.logs.containsPart(c.change ? "changed during its upload: reading it again"
                                                 : "Using the checksum computed while uploading"));
        if (!c.change) {
            EXPECT_EQ(h.server.received("a").substr(c.offset), bytes.substr(c.offset));
        }
        EXPECT_EQ(h.server.offsets("a").empty(), c.fileSize == 0);
        EXPECT_LE(operation->bufferCapacity(),
                  std::min(c.chunkSize, c.fileSize) * (c.fileSize > c.chunkSize ? 2 : 1));
    }
}

// A write within the time step of a file's last write may leave its modification time as it
// was. Bytes read before that step has passed are read and hashed again after it; a pass that
// ends within the step gives no checksum, so the file is read again for it.
TEST(ChunkReaderTest, BytesReadWithinTheLastWritesTimeStepAreHashedAgainAfterIt) {
    using namespace std::chrono;
    TempDir dir;
    const std::string path = dir.file("a");
    for (bool stepPasses : {true, false}) {
        SCOPED_TRACE(stepPasses ? "the step passes during the pass" : "the pass ends within it");
        std::string bytes = randomBytes(3 << 20, 5);
        writeFile(path, bytes);
        struct stat written {};
        ASSERT_EQ(::stat(path.c_str(), &written), 0);
        const nanoseconds step = stepPasses ? nanoseconds(300ms) : nanoseconds(1h);
        VTRChunkReader reader([] { return false; }, step);
        VTRFileInputStream stream(path);
        ASSERT_TRUE(stream.open());
        reader.start(stream, 0, bytes.size(), 1 << 20);
        ASSERT_TRUE(reader.next().bytes);  // the first chunk; the second is read ahead
        // Both changed in place, the time put back as a coarse clock would have left it.
        bytes.replace(0, 6, "edited");
        bytes.replace(1 << 20, 6, "edited");
        int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "edited", 6, 0), 6);
        ASSERT_EQ(::pwrite(fd, "edited", 6, 1 << 20), 6);
        ::close(fd);
        const timespec times[2] = {written.st_atim, written.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        // The wall clock has to pass the step: nothing else marks it.
        if (stepPasses)
            std::this_thread::sleep_until(system_clock::time_point(
                duration_cast<system_clock::duration>(seconds(written.st_mtim.tv_sec) +
                                                      nanoseconds(written.st_mtim.tv_nsec) + step +
                                                      50ms)));
        ASSERT_TRUE(reader.next().bytes);
        ASSERT_TRUE(reader.next().bytes);
        std::optional<VTRChunkReader::FileDigest> digest = reader.finish();
        if (stepPasses) {
            ASSERT_TRUE(digest);
            EXPECT_EQ(digest->md5, md5Digest(bytes));
        } else {
            EXPECT_FALSE(digest);
        }
    }
}

TEST(FileUploadOperationTransferTest, WrongOrEmptyServerHashesAreRetriedThenReported) {
    // Attempts 1-3 of the first chunk: a hash differing only in letter case, the null marker,
    // blanks. The cycle is spent (budget 2), reported as 83, and the chunk read again.
    OperationHarness h;
    std::string good = base64String(md5Digest(kTen.substr(0, 4)));
    std::string swapped = good;
    for (char& c : swapped) c = std::islower(c) ? std::toupper(c) : std::tolower(c);
    ASSERT_NE(swapped, good);
    for (VTRValue hash : {VTRValue(swapped), VTRValue(), VTRValue(" \n")})
        h.server.answer(Method::UploadChunk, {.value = hash});
    ASSERT_TRUE(h.run(h.makeOne(kTen)));

    EXPECT_EQ(h.server.offsets("a"), (std::vector<uint64_t>{0, 0, 0, 0, 4, 8}));
    auto failures = h.delegate.reportsOf("failedUpload");
    ASSERT_EQ(failures.size(), 1u);
    const VTRError& error = *failures[0].error;
    EXPECT_EQ(failures[0].bytes, 0u);
    EXPECT_EQ(summary(error), "Vantrel 83 | Failed to upload file | Failed at offset 0 of file " +
                                  h.dir.file("a") + " | " + h.dir.file("a"));
    EXPECT_EQ(detail(error, "localhashkey"), good);
    EXPECT_EQ(detail(error, "serverhashkey"), " \n");
    EXPECT_EQ(detail(error, "X-VTRErrorCode"), "");
    EXPECT_TRUE(find(error.userInfo(), "innererrorkey")->isNull());
    EXPECT_EQ(h.server.received("a"), kTen);
    EXPECT_EQ(h.delegate.kinds().back(), "completed");
}

// Paths a job may name that cannot be sent: a missing one, and those that are no regular file (a
// FIFO without a writer would block a reader for ever, a device never end, a directory cannot be
// read). The run stops at the first check that finds it, a missing file before any remote call,
// and so does each stage that opens the file on its own: the chunk transfer and the checksum pass.
TEST(FileUploadOperationTransferTest, MissingOrIrregularPathsFailPromptly) {
    TempDir dir;
    const std::string missing = dir.file("missing"), fifo = dir.file("fifo");
    const std::string linkToFifo = dir.file("link-to-fifo"), directory = dir.file("directory");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(fifo.c_str(), linkToFifo.c_str()), 0);
    ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
    for (const std::string& path :
         {missing, fifo, std::string("/dev/zero"), directory, linkToFifo}) {
        SCOPED_TRACE(path);
        const bool gone = path == missing;
        OperationHarness h;
        ASSERT_TRUE(
            h.run(h.make({makeFileInfo(path, "a", 0), makeFileInfo(h.makeFile("b", kTen), "b", 0)}),
                  std::chrono::seconds(10)));
        EXPECT_EQ(h.server.calls().size(), gone ? 0u : 1u);  // the run's ChunkSize
        auto operation = h.make({});
        ASSERT_TRUE(operation->getChunkSize());
        EXPECT_EQ(operation->uploadFile(VTRFileInfo{path, "a"}, 2, 10), 2u);
        EXPECT_EQ(operation->verifyFile(VTRFileInfo{path, "a"}),
                  VTRFileUploadOperation::VerifyResult::Error);
        ASSERT_TRUE(h.reportsArrive(4));

        EXPECT_EQ(h.delegate.kinds(),
                  (Kinds{"failedInit", "completed", "failedInit", "failedVerify"}));
        // Each failure names the path.
        auto failure = [&](int code, const std::string& reason) {
            return fmt::format("Vantrel {} | File Error | {} | {}", code, reason, path);
        };
        const std::string unopened = "Failed to open file " + path + " for reading";
        const std::vector<std::string> expected =
            gone ? std::vector{failure(78, "\"" + path + "\" does not exist"),
                               failure(84, unopened), failure(84, unopened)}
                 : std::vector(3, failure(84, "\"" + path + "\" is not a regular file"));
        std::vector<std::string> seen;
        for (const Report& report : h.delegate.reports())
            if (report.error && report.file == path) seen.push_back(summary(*report.error));
        EXPECT_EQ(seen, expected);
        EXPECT_TRUE(h.server.offsets("b").empty());
    }
}

// A file that grows while it is read is sent only up to its size when checked; one shorter than
// expected is reported where its bytes end.
TEST(FileUploadOperationTransferTest, FileGrowingOrShrinkingWhileReadIsSentAsChecked) {
    OperationHarness h;
    std::string path = h.makeFile("a", kTen);
    h.server.setRule([&](const ScriptedUploadService::Call& call) {
        if (call.method == Method::UploadChunk) std::ofstream(path, std::ios::app) << "appended";
        return Answer{};
    });
    ASSERT_TRUE(h.run(h.make({makeFileInfo(path, "a", 0)})));
    EXPECT_EQ(h.server.received("a"), kTen);
    EXPECT_EQ(h.delegate.reportsOf("uploaded").back().bytes, 10u);
    EXPECT_EQ(h.delegate.reportsOf("closed").size(), 1u);

    OperationHarness shrunk;
    path = shrunk.makeFile("a", kTen);
    auto operation = shrunk.make({});
    ASSERT_TRUE(operation->getChunkSize());
    EXPECT_EQ(operation->uploadFile(VTRFileInfo{path, "a"}, 0, 20), 10u);
    ASSERT_TRUE(shrunk.reportsArrive(4));
    EXPECT_EQ(shrunk.delegate.kinds(), (Kinds{"uploaded", "uploaded", "uploaded", "failedUpload"}));
    Report failure = shrunk.delegate.reportsOf("failedUpload").at(0);
    EXPECT_EQ(failure.bytes, 10u);
    EXPECT_EQ(failure.error->code(), 84);
    EXPECT_EQ(detail(*failure.error, "filenamekey"), path);
    EXPECT_TRUE(shrunk.server.callsOf(Method::VerifyFile).empty());
}

TEST(FileUploadOperationTransferTest, ChunksHeldPastTheirCallAreNeverOverwritten) {
    const std::string big = randomBytes(300 * 1024, 9);
    // 1: the SOAP client's case, the last request kept until the next call. 3: more than the
    // operation's two buffers are held, as by requests left running.
    for (size_t kept : {1u, 3u}) {
        SCOPED_TRACE(kept);
        OperationHarness h;
        h.server.chunkSize = 64 * 1024;
        h.server.chunksKept = kept;
        // A retried chunk is sent again from the bytes its failed request still holds.
        h.server.answer(Method::UploadChunk, {.error = urlError(NSURLErrorTimedOut)});
        auto operation = h.make({makeFileInfo(h.makeFile("a", big), "a", 0),
                                 makeFileInfo(h.makeFile("b", big), "b", 0)});
        ASSERT_TRUE(h.run(operation));
        EXPECT_EQ(h.server.callsOf(Method::UploadChunk).size(), 11u);
        EXPECT_EQ(h.server.changedKeptChunks(), 0u);
        EXPECT_EQ(h.server.received("a"), big);
        EXPECT_EQ(h.server.received("b"), big);
        // Two buffers alternate however many chunks go.
        if (kept == 1) {
            EXPECT_EQ(operation->bufferCapacity(), 2u * 64 * 1024);
        }
    }
}

// MARK: delivery

TEST(FileUploadOperationDeliveryTest, WithoutDelegateReportsAreDroppedAndTheUploadGoesOn) {
    OperationHarness h;
    auto operation = h.make({makeFileInfo(h.makeFile("a", kTen), "a", 0)}, nullptr);
    std::thread([operation] { operation->start(); }).join();
    EXPECT_EQ(h.server.received("a"), kTen);
    EXPECT_EQ(h.server.callsOf(Method::TryCloseFile).size(), 1u);
}

TEST(FileUploadOperationDeliveryTest, ReportFromTheLoopThreadArrivesBeforeTheSenderReturns) {
    OperationHarness h;
    auto operation = h.make({makeFileInfo(h.dir.file("missing"), "m", 0)});
    bool seenBeforeReturn = false;
    bool ran = false;
    h.loop.post([&] {
        EXPECT_FALSE(operation->validateParameters());
        seenBeforeReturn = h.delegate.reportsOf("failedInit").size() == 1;
        ran = true;
    });
    ASSERT_TRUE(h.loop.runUntil([&] { return ran; }, std::chrono::seconds(10)));
    EXPECT_TRUE(seenBeforeReturn);
}

}  // namespace
}  // namespace vtr::test
