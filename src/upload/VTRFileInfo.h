// What an upload operation knows about one file: the typed VTRFileInfo the operation works on,
// and the keys of the `fileInfo` dictionary form in which the job service hands each stored file
// record over. Plain data: read from any thread.
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

// One file of an upload operation; the operation resets it when it restarts the file.
struct VTRFileInfo {
    std::string localPath;
    std::string remotePath;
    uint64_t bytesUploaded = 0;
    bool closed = false;

    // Missing keys leave their fields at the defaults.
    static VTRFileInfo fromDictionary(const VTRDictionary& entry) {
        const VTRValue* local = find(entry, VTRFileLocalPathKey);
        const VTRValue* remote = find(entry, VTRFileRemotePathKey);
        const VTRValue* bytes = find(entry, VTRFileBytesUploadedKey);
        const VTRValue* closed = find(entry, VTRFileClosedKey);
        return VTRFileInfo{local ? local->stringValue() : std::string(),
                           remote ? remote->stringValue() : std::string(),
                           bytes ? bytes->uint64Value() : 0, closed && closed->boolValue()};
    }
};

}  // namespace vtr
