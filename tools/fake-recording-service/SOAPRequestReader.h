// Reading an incoming SOAP 1.1 request, plain XML or MTOM/XOP multipart, into the called
// method and its parameters, with xop:Include references resolved to the attachment bytes.
// Pure functions; any thread.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace vtr::fake {

struct SOAPCall {
    std::string method;                             // local name of the Body's first child
    std::map<std::string, std::string> parameters;  // local name -> text or attachment bytes
    std::map<std::string, bool> fromAttachment;     // parameters that came as XOP attachments
    bool mtom = false;
};

// Nothing, with `problem` set, when the body is not a SOAP request this service can read.
std::optional<SOAPCall> readSOAPRequest(const std::string* contentType, const std::string& body,
                                        std::string* problem);

}  // namespace vtr::fake
