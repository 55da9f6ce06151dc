#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "OperationHarness.h"
#include "foundation/VTRDataAdditions.h"
#include "httpclient/HTTPRequestOperation.h"

namespace vtr::test {
namespace {

const std::string kTen = "0123456789";  // 10 bytes: chunks of 4, 4 and 2 at the default size

std::string base64MD5(const std::string& bytes) {
    return base64String(md5Digest(bytes));
}

std::vector<uint64_t> offsetsOf(const std::vector<ServiceCall>& calls) {
    std::vector<uint64_t> offsets;
    for (const ServiceCall& call : calls) offsets.push_back(call.offset);
    return offsets;
}

std::vector<uint64_t> totalsOf(const std::vector<Report>& reports) {
    std::vector<uint64_t> totals;
    for (const Report& report : reports) totals.push_back(report.bytes);
    return totals;
}

std::string detail(const VTRError& error, const char* key) {
    const VTRValue* value = find(error.userInfo(), key);
    return value ? value->stringValue() : "<absent>";
}

// MARK: start of the run

TEST(FileUploadOperationStartTest, EmptyFileListStillAsksForTheChunkSizeAndCompletes) {
    OperationHarness h;
    ASSERT_TRUE(h.run(h.make({})));
    EXPECT_EQ(h.delegate.kinds(), std::vector<std::string>{"completed"});
    EXPECT_EQ(h.script->callsOf("ChunkSize").size(), 1u);
    EXPECT_EQ(h.script->calls().size(), 1u);
    EXPECT_TRUE(h.logs.contains("VTRFileUploadOperation::main returning"));
}

TEST(FileUploadOperationStartTest, MissingFileEndsTheRunBeforeAnyRemoteCall) {
    OperationHarness h;
    std::string missing = h.dir.file("missing.mp4");
    std::string present = h.makeFile("b.mp4", kTen);
    auto operation = h.make({makeFileInfo(missing, "a.mp4", 0), makeFileInfo(present, "b.mp4", 0),
                             makeFileInfo(present, "c.mp4", 0)});
    ASSERT_TRUE(h.run(operation));

    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"failedInit", "completed"}));
    Report report = h.delegate.reportsOf("failedInit").at(0);
    EXPECT_EQ(report.file, missing);
    EXPECT_EQ(report.recording, "job-1");
    EXPECT_EQ(report.error->domain(), "Vantrel");
    EXPECT_EQ(report.error->code(), 78);
    EXPECT_EQ(report.error->localizedDescription(), "File Error");
    EXPECT_EQ(report.error->localizedFailureReason(), "\"" + missing + "\" does not exist");
    EXPECT_EQ(detail(*report.error, "filenamekey"), missing);
    EXPECT_TRUE(h.script->calls().empty());
    EXPECT_TRUE(h.logs.contains("Error: \"" + missing + "\" does not exist"));
}

TEST(FileUploadOperationStartTest, CancelledDependencyOrCancelledOperationOnlyCompletes) {
    {
        OperationHarness h;
        auto dependency = h.make({});
        dependency->cancel();
        auto operation = h.make({makeFileInfo(h.makeFile("a", kTen), "a", 0)});
        operation->addDependency(dependency);
        ASSERT_TRUE(h.run(operation));
        EXPECT_EQ(h.delegate.kinds(), std::vector<std::string>{"completed"});
        EXPECT_TRUE(h.script->calls().empty());
        EXPECT_TRUE(h.logs.containsPart("was cancelled.  Returning."));
        EXPECT_FALSE(h.logs.contains("VTRFileUploadOperation::main returning"));
    }
    {
        OperationHarness h;
        auto operation = h.make({makeFileInfo(h.makeFile("a", kTen), "a", 0)});
        operation->cancel();
        ASSERT_TRUE(h.run(operation));
        EXPECT_EQ(h.delegate.kinds(), std::vector<std::string>{"completed"});
        EXPECT_TRUE(h.script->calls().empty());
        EXPECT_TRUE(
            h.logs.contains("VTRFileUploadOperation::main Operation was cancelled before "
                            "it started.  Returning."));
    }
}

TEST(FileUploadOperationStartTest, ChunkSizeRetriedThenReportedAsError80WithoutFile) {
    OperationHarness h;
    for (int i = 0; i < 3; ++i)
        h.script->answerChunkSize([](VTRError* error) {
            setError(error, urlError(NSURLErrorCannotConnectToHost));
            return 0;
        });
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 0)})));

    EXPECT_EQ(h.script->callsOf("ChunkSize").size(), 3u);
    EXPECT_TRUE(h.script->callsOf("UploadChunk").empty());
    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"failedInit", "completed"}));
    Report report = h.delegate.reportsOf("failedInit").at(0);
    EXPECT_FALSE(report.file.has_value());
    EXPECT_EQ(report.error->code(), 80);
    EXPECT_EQ(report.error->localizedDescription(), "Upload failed to start");
    EXPECT_EQ(report.error->localizedFailureReason(), "scripted URL error");
    ASSERT_NE(report.error->innerError(), nullptr);
    EXPECT_EQ(report.error->innerError()->code(), NSURLErrorCannotConnectToHost);
    EXPECT_EQ(detail(*report.error, "sessionidkey"), "session-1");
    EXPECT_TRUE(h.logs.contains("Exceeded max retries reporting chunksize error"));
}

TEST(FileUploadOperationStartTest, UnusableOrOversizedChunkSizeIsReportedInsteadOfUsed) {
    struct Case {
        int32_t answer;
        std::string reason;
    };
    const Case cases[] = {
        {0, "The server reported an unusable chunk size of 0 bytes"},
        {-1, "The server reported an unusable chunk size of -1 bytes"},
        {16777217, "The server's chunk size of 16777217 bytes exceeds the maximum of 16777216"},
        {2147483647, "The server's chunk size of 2147483647 bytes exceeds the maximum of 16777216"},
    };
    for (const Case& c : cases) {
        OperationHarness h;
        h.script->defaultChunkSize = c.answer;
        auto operation = h.make({makeFileInfo(h.makeFile("a", kTen), "a", 0)});
        ASSERT_TRUE(h.run(operation));
        EXPECT_EQ(h.script->callsOf("ChunkSize").size(), 1u) << c.answer;
        EXPECT_TRUE(h.script->callsOf("UploadChunk").empty());
        auto failures = h.delegate.reportsOf("failedInit");
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].error->code(), 80);
        EXPECT_EQ(failures[0].error->localizedFailureReason(), c.reason);
        EXPECT_EQ(operation->bufferCapacity(), 0u);
    }
}

TEST(FileUploadOperationStartTest, BufferIsNoLargerThanTheFileAtTheLargestChunkSize) {
    OperationHarness h;
    h.script->defaultChunkSize = 16 * 1024 * 1024;
    std::string bytes = randomBytes(4096, 3);
    auto operation = h.make({makeFileInfo(h.makeFile("a", bytes), "a", 0)});
    ASSERT_TRUE(h.run(operation));
    EXPECT_EQ(h.script->storedFile("a"), bytes);
    EXPECT_EQ(operation->bufferCapacity(), 4096u);
}

TEST(FileUploadOperationStartTest, HeldRetryPauseShowsWhatFailedAndWhenTheNextAttemptComes) {
    struct Case {
        VTRError error;
        std::string phase;
        std::string reason;
    };
    const Case cases[] = {
        {serverCodeError("Busy"), "waiting_to_retry", "Expected status code in (200-299), got 500"},
        {urlError(NSURLErrorCannotConnectToHost), "waiting_for_network", "scripted URL error"},
    };
    for (const Case& c : cases) {
        OperationHarness h;
        std::shared_ptr<VTRFileUploadOperation> operation;
        std::optional<VTRUploadActivitySnapshot> during;
        h.retry->setPauseFunction([&](double) {
            during = operation->activity()->snapshot();
            return true;
        });
        h.script->answerChunk(chunkError(c.error));
        operation = h.make({makeFileInfo(h.makeFile("a", kTen), "remote/a.mp4", 0)});
        ASSERT_TRUE(h.run(operation));

        ASSERT_TRUE(during && during->retry) << c.phase;
        EXPECT_EQ(VTRUploadPhaseName(during->phase), c.phase);
        EXPECT_EQ(during->file, "remote/a.mp4");
        EXPECT_EQ(during->retry->method, "UploadChunk");
        EXPECT_EQ(during->retry->attempt, 1u);
        EXPECT_EQ(during->retry->reason, c.reason);
        EXPECT_GT(during->retry->nextAttemptInSeconds, 3.0);
        // Once the call succeeded, and after the run, nothing waits any more.
        VTRUploadActivitySnapshot after = operation->activity()->snapshot();
        EXPECT_FALSE(after.retry.has_value());
        EXPECT_STREQ(VTRUploadPhaseName(after.phase), "close");
        EXPECT_GT(after.bytesPerSecond, 0.0);
        EXPECT_EQ(h.script->storedFile("remote/a.mp4"), kTen);
    }
}

// MARK: chunked transfer

TEST(FileUploadOperationTransferTest, SendsEveryChunkWithItsRealLengthAndReportsTotals) {
    OperationHarness h;
    std::string path = h.makeFile("a.mp4", kTen);
    auto operation = h.make({makeFileInfo(path, "remote-a.mp4", 0)});
    ASSERT_TRUE(h.run(operation));

    auto chunks = h.script->callsOf("UploadChunk");
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(offsetsOf(chunks), (std::vector<uint64_t>{0, 4, 8}));
    EXPECT_EQ(chunks[2].length, 2u);
    EXPECT_EQ(chunks[0].fileName, "remote-a.mp4");
    EXPECT_EQ(chunks[0].sessionID, "session-1");
    EXPECT_EQ(h.script->storedFile("remote-a.mp4"), kTen);
    EXPECT_EQ(totalsOf(h.delegate.reportsOf("uploaded")), (std::vector<uint64_t>{4, 8, 10}));
    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"uploaded", "uploaded", "uploaded",
                                                            "closed", "completed"}));
    auto verify = h.script->callsOf("VerifyFile");
    ASSERT_EQ(verify.size(), 1u);
    EXPECT_EQ(verify[0].checksum, base64MD5(kTen));
    EXPECT_TRUE(h.logs.contains("Verifying checksum " + base64MD5(kTen) + " for file " + path +
                                " of session session-1"));
    for (const Report& report : h.delegate.reports()) {
        EXPECT_EQ(report.thread, std::this_thread::get_id()) << report.kind;
        EXPECT_EQ(report.recording, "job-1");
    }
    EXPECT_EQ(operation->bufferCapacity(), 4u);
}

TEST(FileUploadOperationTransferTest, ResumesAtAnOffsetThatIsNotAMultipleOfTheChunkSize) {
    OperationHarness h;
    auto operation = h.make({makeFileInfo(h.makeFile("a", kTen), "a", 3)});
    ASSERT_TRUE(h.run(operation));
    auto chunks = h.script->callsOf("UploadChunk");
    EXPECT_EQ(offsetsOf(chunks), (std::vector<uint64_t>{3, 7}));
    EXPECT_EQ(chunks.at(1).length, 3u);
    EXPECT_EQ(h.script->storedFile("a").substr(3), kTen.substr(3));
    EXPECT_EQ(totalsOf(h.delegate.reportsOf("uploaded")), (std::vector<uint64_t>{7, 10}));
}

TEST(FileUploadOperationTransferTest, FullyUploadedFileIsOnlyVerifiedAndClosed) {
    OperationHarness h;
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 10)})));
    EXPECT_TRUE(h.script->callsOf("UploadChunk").empty());
    EXPECT_EQ(h.script->callsOf("VerifyFile").size(), 1u);
    EXPECT_EQ(h.script->callsOf("TryCloseFile").size(), 1u);
    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"closed", "completed"}));
}

TEST(FileUploadOperationTransferTest, EmptyFileIsVerifiedWithTheDigestOfNoBytes) {
    OperationHarness h;
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("empty", ""), "empty", 0)})));
    EXPECT_TRUE(h.script->callsOf("UploadChunk").empty());
    EXPECT_EQ(h.script->callsOf("VerifyFile").at(0).checksum, "1B2M2Y8AsgTpgAmY7PhCfg==");
}

TEST(FileUploadOperationTransferTest, WrongOrEmptyServerHashesAreRetriedThenReported) {
    // Attempts 1-3 of the first chunk: a hash differing only in letter case, the null marker,
    // blanks. The cycle is spent (budget 2), reported as 83, and the chunk read again.
    OperationHarness h;
    std::string good = base64MD5(kTen.substr(0, 4));
    std::string swapped = good;
    for (char& c : swapped) c = std::islower(c) ? std::toupper(c) : std::tolower(c);
    ASSERT_NE(swapped, good);
    h.script->answerChunk(hashAnswer(VTRValue(swapped)));
    h.script->answerChunk(hashAnswer(VTRValue()));
    h.script->answerChunk(hashAnswer(VTRValue(" \n")));
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 0)})));

    EXPECT_EQ(offsetsOf(h.script->callsOf("UploadChunk")),
              (std::vector<uint64_t>{0, 0, 0, 0, 4, 8}));
    auto failures = h.delegate.reportsOf("failedUpload");
    ASSERT_EQ(failures.size(), 1u);
    const VTRError& error = *failures[0].error;
    EXPECT_EQ(failures[0].bytes, 0u);
    EXPECT_EQ(error.code(), 83);
    EXPECT_EQ(error.localizedDescription(), "Failed to upload file");
    EXPECT_EQ(error.localizedFailureReason(), "Failed at offset 0 of file " + h.dir.file("a"));
    EXPECT_EQ(detail(error, "localhashkey"), good);
    EXPECT_EQ(detail(error, "serverhashkey"), " \n");
    EXPECT_EQ(detail(error, "X-VTRErrorCode"), "");
    EXPECT_TRUE(find(error.userInfo(), "innererrorkey")->isNull());
    EXPECT_EQ(h.script->storedFile("a"), kTen);
    EXPECT_EQ(h.delegate.kinds().back(), "completed");
    EXPECT_TRUE(
        h.logs.containsPart("Invalid md5 hash.  Possible transmission error.  Local hash: " + good +
                            " server hash " + swapped + " at offset 0"));
    EXPECT_TRUE(
        h.logs.contains("Server reported an error processing chunk at offset 0 for file a "
                        "of session session-1"));
}

TEST(FileUploadOperationTransferTest, TransportErrorsThenSuccessCostOnlyPauses) {
    OperationHarness h;
    h.script->answerChunk(chunkError(urlError(NSURLErrorTimedOut)));
    h.script->answerChunk(chunkError(urlError(NSURLErrorTimedOut)));
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 0)})));
    EXPECT_TRUE(h.delegate.reportsOf("failedUpload").empty());
    EXPECT_EQ(totalsOf(h.delegate.reportsOf("uploaded")), (std::vector<uint64_t>{4, 8, 10}));
    EXPECT_EQ(h.pauses().size(), 2u);
    EXPECT_TRUE(h.logs.contains("Failed to upload at offset 0 for file a for session session-1"));
}

TEST(FileUploadOperationTransferTest, TransportErrorOnEveryAttemptEndsTheRun) {
    OperationHarness h;
    h.script->answerChunk(correctHash());
    for (int i = 0; i < 3; ++i)
        h.script->answerChunk(chunkError(serverCodeError("SessionExpired")));
    std::string a = h.makeFile("a", kTen);
    ASSERT_TRUE(
        h.run(h.make({makeFileInfo(a, "a", 0), makeFileInfo(h.makeFile("b", kTen), "b", 0)})));

    EXPECT_EQ(h.delegate.kinds(),
              (std::vector<std::string>{"uploaded", "failedUpload", "completed"}));
    Report failure = h.delegate.reportsOf("failedUpload").at(0);
    EXPECT_EQ(failure.bytes, 4u);
    EXPECT_EQ(failure.file, a);
    EXPECT_EQ(failure.error->code(), 83);
    EXPECT_EQ(detail(*failure.error, "X-VTRErrorCode"), "SessionExpired");
    EXPECT_EQ(failure.error->localizedFailureReason(),
              "Expected status code in (200-299), got 500");
    ASSERT_NE(failure.error->innerError(), nullptr);
    EXPECT_EQ(failure.error->innerError()->domain(), "AFNetworkingErrorDomain");
    // Nothing after the failed file: no verification, no second file.
    EXPECT_TRUE(h.script->callsOf("VerifyFile").empty());
    for (const ServiceCall& call : h.script->callsOf("UploadChunk")) EXPECT_EQ(call.fileName, "a");
}

TEST(FileUploadOperationTransferTest, OutOfOrderOnceRestartsTheWholeFile) {
    OperationHarness h;
    h.script->answerChunk(correctHash());
    h.script->answerChunk(chunkError(serverCodeError("OutOfOrderUploadChunk")));
    std::string a = h.makeFile("a", kTen);
    ASSERT_TRUE(h.run(h.make({makeFileInfo(a, "a", 0)})));

    EXPECT_EQ(offsetsOf(h.script->callsOf("UploadChunk")), (std::vector<uint64_t>{0, 4, 0, 4, 8}));
    EXPECT_EQ(h.delegate.kinds(),
              (std::vector<std::string>{"uploaded", "restarted", "uploaded", "uploaded", "uploaded",
                                        "closed", "completed"}));
    Report restart = h.delegate.reportsOf("restarted").at(0);
    EXPECT_EQ(restart.file, a);
    EXPECT_EQ(detail(*restart.error, "X-VTRErrorCode"), "OutOfOrderUploadChunk");
    EXPECT_EQ(totalsOf(h.delegate.reportsOf("uploaded")), (std::vector<uint64_t>{4, 4, 8, 10}));
    EXPECT_TRUE(h.delegate.reportsOf("failedUpload").empty());
    EXPECT_TRUE(
        h.logs.contains("Restarting the file so we can upload the chunks that were missed"));
}

TEST(FileUploadOperationTransferTest, OutOfOrderTwiceInOneTransferFailsWith83) {
    OperationHarness h;
    h.script->answerChunk(chunkError(serverCodeError("OutOfOrderUploadChunk")));
    h.script->answerChunk(chunkError(serverCodeError("OutOfOrderUploadChunk")));
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 4)})));

    EXPECT_EQ(offsetsOf(h.script->callsOf("UploadChunk")), (std::vector<uint64_t>{4, 0}));
    EXPECT_EQ(h.delegate.kinds(),
              (std::vector<std::string>{"restarted", "failedUpload", "completed"}));
    Report failure = h.delegate.reportsOf("failedUpload").at(0);
    EXPECT_EQ(failure.bytes, 0u);
    EXPECT_EQ(failure.error->code(), 83);
    EXPECT_EQ(detail(*failure.error, "X-VTRErrorCode"), "OutOfOrderUploadChunk");
    EXPECT_NE(failure.error->innerError(), nullptr);
    EXPECT_TRUE(h.script->callsOf("VerifyFile").empty());
    // The abort ends the cycle at once: no pause was spent after the second report.
    EXPECT_TRUE(h.pauses().empty());
    EXPECT_TRUE(h.logs.contains("Failing because we've already restarted"));
}

// Paths a job may name that are no regular file: each could block a reader for ever (a FIFO
// without a writer), never end (a device), or cannot be read at all.
TEST(FileUploadOperationTransferTest, PathsThatAreNoRegularFileFailPromptlyWith84) {
    TempDir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string linkToFifo = dir.file("link-to-fifo");
    ASSERT_EQ(::symlink(fifo.c_str(), linkToFifo.c_str()), 0);
    std::string directory = dir.file("directory");
    ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
    std::string socketPath = dir.file("socket");
    struct Socket {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ~Socket() { ::close(fd); }
    } socket;
    int listening = socket.fd;
    ASSERT_GE(listening, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listening, 1), 0);

    for (const std::string& path :
         {fifo, std::string("/dev/zero"), directory, socketPath, linkToFifo}) {
        SCOPED_TRACE(path);
        OperationHarness h;
        // The whole run ends at the file's turn, before any byte is sent.
        ASSERT_TRUE(h.run(h.make({makeFileInfo(path, "a", 0)}), std::chrono::seconds(10)));
        // Each stage that opens the file on its own: the chunk transfer and the checksum pass.
        auto operation = h.make({});
        ASSERT_TRUE(operation->getChunkSize());
        EXPECT_EQ(operation->uploadFile(makeFileInfo(path, "a", 0), 0, 10), 0u);
        EXPECT_EQ(operation->verifyFile(makeFileInfo(path, "a", 0)),
                  VTRFileUploadOperation::VerifyError);
        ASSERT_TRUE(h.loop.runUntil([&] { return h.delegate.reports().size() >= 4; },
                                    std::chrono::seconds(10)));

        EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"failedInit", "completed",
                                                                "failedInit", "failedVerify"}));
        for (const Report& report : h.delegate.reports()) {
            if (report.kind == "completed") continue;
            ASSERT_TRUE(report.error);
            EXPECT_EQ(report.file, path);
            EXPECT_EQ(report.error->code(), 84);
            EXPECT_EQ(report.error->localizedFailureReason(),
                      "\"" + path + "\" is not a regular file");
            EXPECT_EQ(detail(*report.error, "filenamekey"), path);
        }
        EXPECT_TRUE(h.script->callsOf("UploadChunk").empty());
        EXPECT_TRUE(h.script->callsOf("VerifyFile").empty());
    }
}

TEST(FileUploadOperationTransferTest, FileGrowingWhileReadIsSentOnlyUpToItsCheckedSize) {
    OperationHarness h;
    std::string path = h.makeFile("a", kTen);
    h.script->answerChunk([&](const VTRBytes& bytes, uint64_t offset, VTRError* error) {
        std::ofstream(path, std::ios::app) << "appended";
        return correctHash()(bytes, offset, error);
    });
    ASSERT_TRUE(h.run(h.make({makeFileInfo(path, "a", 0)})));
    EXPECT_EQ(h.script->storedFile("a"), kTen);
    EXPECT_EQ(totalsOf(h.delegate.reportsOf("uploaded")), (std::vector<uint64_t>{4, 8, 10}));
    EXPECT_EQ(h.script->callsOf("UploadChunk").back().length, 2u);
    EXPECT_EQ(h.delegate.reportsOf("closed").size(), 1u);
}

TEST(FileUploadOperationTransferTest, FileThatCannotBeOpenedOrShrankIsReported) {
    OperationHarness h;
    std::string path = h.makeFile("a", kTen);
    auto operation = h.make({});
    ASSERT_TRUE(operation->getChunkSize());

    // Gone by the time of the transfer: reported through failed-to-initialize, never skipped.
    std::string gone = h.dir.file("gone");
    EXPECT_EQ(operation->uploadFile(makeFileInfo(gone, "gone", 0), 2, 10), 2u);
    // Shorter than expected: the transfer stops where the bytes end.
    EXPECT_EQ(operation->uploadFile(makeFileInfo(path, "a", 0), 0, 20), 10u);
    ASSERT_TRUE(h.loop.runUntil([&] { return h.delegate.reports().size() >= 5; },
                                std::chrono::seconds(10)));

    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"failedInit", "uploaded", "uploaded",
                                                            "uploaded", "failedUpload"}));
    Report openFailure = h.delegate.reportsOf("failedInit").at(0);
    EXPECT_EQ(openFailure.file, gone);
    EXPECT_EQ(openFailure.error->code(), 84);
    EXPECT_EQ(openFailure.error->localizedFailureReason(),
              "Failed to open file " + gone + " for reading");
    EXPECT_EQ(detail(*openFailure.error, "filenamekey"), gone);
    Report shrink = h.delegate.reportsOf("failedUpload").at(0);
    EXPECT_EQ(shrink.bytes, 10u);
    EXPECT_EQ(shrink.error->code(), 84);
    EXPECT_EQ(detail(*shrink.error, "filenamekey"), path);
}

TEST(FileUploadOperationTransferTest, OneBufferServesEveryFile) {
    OperationHarness h;
    h.script->defaultChunkSize = 64 * 1024;
    std::string big = randomBytes(300 * 1024, 7);
    std::vector<VTRDictionary> files;
    for (const char* name : {"a", "b", "c"})
        files.push_back(makeFileInfo(h.makeFile(name, big), name, 0));
    auto operation = h.make(files);
    ASSERT_TRUE(h.run(operation));
    EXPECT_EQ(operation->bufferCapacity(), 64u * 1024);
    for (const char* name : {"a", "b", "c"}) EXPECT_EQ(h.script->storedFile(name), big) << name;
    EXPECT_EQ(h.delegate.reportsOf("closed").size(), 3u);
}

TEST(FileUploadOperationTransferTest, ChunksHeldPastTheirCallAreNeverOverwritten) {
    const std::string big = randomBytes(300 * 1024, 9);
    // 1: the SOAP client's case, the last request kept until the next call. 3: more than the
    // operation's two buffers are held, as by requests left running.
    for (size_t kept : {1u, 3u}) {
        OperationHarness h;
        h.script->defaultChunkSize = 64 * 1024;
        h.script->chunksKept = kept;
        // A retried chunk is sent again from the bytes its failed request still holds.
        h.script->answerChunk(chunkError(urlError(NSURLErrorTimedOut)));
        auto operation = h.make({makeFileInfo(h.makeFile("a", big), "a", 0),
                                 makeFileInfo(h.makeFile("b", big), "b", 0)});
        ASSERT_TRUE(h.run(operation));
        EXPECT_EQ(h.script->callsOf("UploadChunk").size(), 11u) << kept;
        EXPECT_EQ(h.script->changedKeptChunks(), 0u) << kept;
        EXPECT_EQ(h.script->storedFile("a"), big) << kept;
        EXPECT_EQ(h.script->storedFile("b"), big) << kept;
        // Two buffers alternate however many chunks go.
        if (kept == 1) {
            EXPECT_EQ(operation->bufferCapacity(), 2u * 64 * 1024);
        }
    }
}

// MARK: verification

TEST(FileUploadOperationVerifyTest, MismatchOnceRestartsTheFileWith95) {
    OperationHarness h;
    h.script->answerVerify(verifyAnswer(false));
    std::string a = h.makeFile("a", kTen);
    ASSERT_TRUE(h.run(h.make({makeFileInfo(a, "a", 4)})));

    EXPECT_EQ(offsetsOf(h.script->callsOf("UploadChunk")), (std::vector<uint64_t>{4, 8, 0, 4, 8}));
    EXPECT_EQ(h.delegate.kinds(),
              (std::vector<std::string>{"uploaded", "uploaded", "restarted", "uploaded", "uploaded",
                                        "uploaded", "closed", "completed"}));
    Report restart = h.delegate.reportsOf("restarted").at(0);
    EXPECT_EQ(restart.file, a);
    EXPECT_EQ(restart.error->code(), 95);
    EXPECT_EQ(restart.error->localizedDescription(), "Transmission error during upload");
    EXPECT_EQ(h.script->callsOf("VerifyFile").size(), 2u);
}

TEST(FileUploadOperationVerifyTest, MismatchTwiceFailsTheFileWith95) {
    OperationHarness h;
    h.script->answerVerify(verifyAnswer(false));
    h.script->answerVerify(verifyAnswer(false));
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 0)})));
    auto kinds = h.delegate.kinds();
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "restarted"), 1);
    EXPECT_EQ(kinds.at(kinds.size() - 2), "failedVerify");
    EXPECT_EQ(h.delegate.reportsOf("failedVerify").at(0).error->code(), 95);
    EXPECT_TRUE(h.script->callsOf("TryCloseFile").empty());
    // A settled mismatch spends no further attempts or pauses.
    EXPECT_EQ(h.script->callsOf("VerifyFile").size(), 2u);
    EXPECT_TRUE(h.pauses().empty());
    EXPECT_TRUE(
        h.logs.contains("Second failure to verify the file's checksum therefore failing "
                        "and reporting upload as failed"));
}

TEST(FileUploadOperationVerifyTest, MalformedChecksumFailsAtOnce) {
    OperationHarness h;
    h.script->answerVerify(verifyError(serverCodeError("MalformedChecksum")));
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 10)})));
    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"failedVerify", "completed"}));
    EXPECT_EQ(detail(*h.delegate.reportsOf("failedVerify").at(0).error, "X-VTRErrorCode"),
              "MalformedChecksum");
    EXPECT_EQ(h.script->callsOf("VerifyFile").size(), 1u);
    EXPECT_TRUE(h.pauses().empty());
    EXPECT_TRUE(h.script->callsOf("TryCloseFile").empty());
}

TEST(FileUploadOperationVerifyTest, TimeOutsAreRetriedAndReportedWhenTheyLast) {
    for (int timeOuts : {2, 3}) {
        OperationHarness h;
        for (int i = 0; i < timeOuts; ++i)
            h.script->answerVerify(verifyError(urlError(NSURLErrorTimedOut)));
        ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 10)})));
        EXPECT_EQ(h.script->callsOf("VerifyFile").size(), 3u);
        std::string first = timeOuts == 3 ? "failedVerify" : "closed";
        EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{first, "completed"}));
        if (timeOuts == 3) {
            EXPECT_EQ(h.delegate.reportsOf("failedVerify").at(0).error->code(), NSURLErrorTimedOut);
        }
    }
}

TEST(FileUploadOperationVerifyTest, UnreadableFileCannotBeConfirmed) {
    OperationHarness h;
    auto operation = h.make({});
    std::string gone = h.dir.file("gone");
    EXPECT_EQ(operation->verifyFile(makeFileInfo(gone, "gone", 0)),
              VTRFileUploadOperation::VerifyError);
    ASSERT_TRUE(
        h.loop.runUntil([&] { return !h.delegate.reports().empty(); }, std::chrono::seconds(10)));
    Report report = h.delegate.reports().at(0);
    EXPECT_EQ(report.kind, "failedVerify");
    EXPECT_EQ(report.error->code(), 84);
    EXPECT_TRUE(h.script->calls().empty());
}

// MARK: close

TEST(FileUploadOperationCloseTest, PollsWhileUploadingUntilUploaded) {
    OperationHarness h;
    h.pollingInterval = 0.05;
    for (int i = 0; i < 3; ++i) h.script->answerClose(closeAnswer("Uploading"));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 10)})));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(h.script->callsOf("TryCloseFile").size(), 4u);
    // Three polling waits, all within one attempt: no retry pause.
    EXPECT_GE(elapsed, std::chrono::milliseconds(150));
    EXPECT_TRUE(h.pauses().empty());
    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"closed", "completed"}));
}

TEST(FileUploadOperationCloseTest, NotUploadedSendsTheFileAgain) {
    OperationHarness h;
    h.script->answerClose(closeAnswer("NotUploaded"));
    std::string a = h.makeFile("a", kTen);
    ASSERT_TRUE(h.run(h.make({makeFileInfo(a, "a", 10)})));
    EXPECT_EQ(offsetsOf(h.script->callsOf("UploadChunk")), (std::vector<uint64_t>{0, 4, 8}));
    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"restarted", "uploaded", "uploaded",
                                                            "uploaded", "closed", "completed"}));
    Report restart = h.delegate.reportsOf("restarted").at(0);
    EXPECT_EQ(restart.error->code(), 79);
    EXPECT_EQ(detail(*restart.error, "closefileresultkey"), "NotUploaded");
    EXPECT_EQ(restart.error->localizedFailureReason(), "Fault when closing file " + a);
    EXPECT_EQ(h.script->callsOf("TryCloseFile").size(), 2u);
    EXPECT_TRUE(h.pauses().empty());
}

TEST(FileUploadOperationCloseTest, ServerExceptionFailsAndLaterFilesWait) {
    OperationHarness h;
    h.script->answerClose(closeAnswer("ServerException"));
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 10),
                              makeFileInfo(h.makeFile("b", kTen), "b", 0)})));
    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"failedClose", "completed"}));
    VTRError error = *h.delegate.reportsOf("failedClose").at(0).error;
    EXPECT_EQ(error.code(), 79);
    EXPECT_EQ(error.localizedDescription(), "Failed to end upload");
    EXPECT_EQ(detail(error, "closefileresultkey"), "ServerException");
    EXPECT_EQ(h.script->callsOf("TryCloseFile").size(), 1u);
    EXPECT_TRUE(h.script->callsOf("UploadChunk").empty());
}

TEST(FileUploadOperationCloseTest, AlreadyClosedFileIsVerifiedButNotClosedAgain) {
    OperationHarness h;
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 10, /*closed=*/true)})));
    EXPECT_EQ(h.script->callsOf("VerifyFile").size(), 1u);
    EXPECT_TRUE(h.script->callsOf("TryCloseFile").empty());
    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"closed", "completed"}));
}

TEST(FileUploadOperationCloseTest, TransportFailuresAreRetriedThenReported) {
    for (int failures : {1, 3}) {
        OperationHarness h;
        for (int i = 0; i < failures; ++i)
            h.script->answerClose(closeError(urlError(NSURLErrorNetworkConnectionLost)));
        ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 10)})));
        EXPECT_EQ(h.pauses().size(), failures == 1 ? 1u : 2u) << failures;
        if (failures == 1) {
            EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"closed", "completed"}));
            continue;
        }
        EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"failedClose", "completed"}));
        VTRError error = *h.delegate.reportsOf("failedClose").at(0).error;
        EXPECT_EQ(error.code(), 79);
        EXPECT_EQ(error.localizedFailureReason(), "scripted URL error");
        ASSERT_NE(error.innerError(), nullptr);
        EXPECT_EQ(error.innerError()->code(), NSURLErrorNetworkConnectionLost);
        EXPECT_TRUE(h.logs.contains("Exceeded max retries, reporting closefile error."));
    }
}

TEST(FileUploadOperationCloseTest, EmptyCloseAnswersAreNotTakenForSuccess) {
    OperationHarness h;
    for (int i = 0; i < 3; ++i) h.script->answerClose(closeAnswer(std::nullopt));
    ASSERT_TRUE(h.run(h.make({makeFileInfo(h.makeFile("a", kTen), "a", 10),
                              makeFileInfo(h.makeFile("b", kTen), "b", 10)})));
    EXPECT_EQ(h.delegate.kinds(), (std::vector<std::string>{"failedClose", "completed"}));
    EXPECT_EQ(h.delegate.reportsOf("failedClose").at(0).error->code(), 79);
    EXPECT_EQ(h.script->callsOf("TryCloseFile").size(), 3u);
}

// MARK: delivery

TEST(FileUploadOperationDeliveryTest, WithoutDelegateReportsAreDroppedAndTheUploadGoesOn) {
    OperationHarness h;
    auto operation = h.make({makeFileInfo(h.makeFile("a", kTen), "a", 0)}, nullptr);
    std::thread worker = h.startWorker(operation);
    worker.join();
    EXPECT_EQ(h.script->storedFile("a"), kTen);
    EXPECT_EQ(h.script->callsOf("TryCloseFile").size(), 1u);
    EXPECT_TRUE(
        h.logs.contains("No delegate to notify VTRFileUploadOperation::rescheduleForMainThread"));
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
