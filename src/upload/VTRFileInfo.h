// The keys of a `fileInfo` dictionary: what an upload operation knows about one file. The job
// service builds one per stored file record; the operation replaces an entry when it restarts
// the file. Plain data: read from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/VTRValue.h"

namespace vtr {

// string: path of the local file; also the file argument of every delegate message.
inline constexpr const char* VTRFileLocalPathKey = "FILE_LOCAL_PATH";
// string: the file's name on the server; the file name parameter of every remote call.
inline constexpr const char* VTRFileRemotePathKey = "FILE_REMOTE_PATH";
// unsigned 64-bit number: the offset to resume the transfer from.
inline constexpr const char* VTRFileBytesUploadedKey = "FILE_BYTES_UPLOADED";
// bool: the file is already closed on the server, so closing it makes no remote call.
inline constexpr const char* VTRFileClosedKey = "FILE_CLOSED";

inline VTRDictionary makeFileInfo(const std::string& localPath, const std::string& remotePath,
                                  uint64_t bytesUploaded, bool closed = false) {
    return VTRDictionary{
        {VTRFileLocalPathKey, VTRValue(localPath)},
        {VTRFileRemotePathKey, VTRValue(remotePath)},
        {VTRFileBytesUploadedKey, VTRValue(bytesUploaded)},
        {VTRFileClosedKey, VTRValue(closed)},
    };
}

}  // namespace vtr
