// The human-readable texts the system puts into its errors, looked up by key in the built-in
// English table, and the formatting of their "%@" / "%llu" / "%1$llu" placeholders. Pure
// functions over constant data; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vtr {

class VTRLocalizedString {
  public:
    // The text for a "VTRstring..." key; the key itself when the table has no such text.
    static std::string stringForKey(std::string_view key);

    static std::string stringFileDNE();                // "\"%@\" does not exist"
    static std::string stringFileErrorDescription();   // "File Error"
    static std::string stringChunkSizeFailed();        // "ChunkSize call failed"
    static std::string stringUploadFailedStart();      // "Upload failed to start"
    static std::string stringFileOpenFail();           // "Failed to open file %@ for reading"
    static std::string stringFileErrorTitle();         // "File Error"
    static std::string stringFileUploadFailed();       // "Failed at offset %1$llu of file %2$@"
    static std::string stringFileUploadFailedTitle();  // "Failed to upload file"
    static std::string stringUploadEndFailureDescription();  // "Failed to end upload"
    static std::string stringUploadEndFailureReason();       // "Fault when closing file %@"
    static std::string stringOperationTimeout();             // "Operation timed out"
};

// Fills a text's placeholders with already-formatted arguments. "%@", "%s" and the integer
// conversions ("%d", "%i", "%u", "%ld", "%li", "%lu", "%lld", "%lli", "%llu") take the next
// argument in turn; "%N$..." takes argument N (counted from 1); "%%" is a percent sign. A
// placeholder without an argument becomes empty; anything else is copied as it stands.
std::string VTRFormatLocalized(std::string_view text, const std::vector<std::string>& arguments);

}  // namespace vtr
