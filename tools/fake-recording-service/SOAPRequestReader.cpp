#include "SOAPRequestReader.h"

#include <expat.h>

#include <climits>
#include <memory>
#include <vector>

#include "soap/MTOMBoundary.h"

namespace vtr::fake {

namespace {

std::string localName(const std::string& name) {
    size_t colon = name.rfind(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

std::string stripAngles(std::string id) {
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
    return id;
}

std::string headerValue(const std::string& block, const std::string& name) {
    size_t start = 0;
    while (start < block.size()) {
        size_t end = block.find("\r\n", start);
        if (end == std::string::npos) end = block.size();
        std::string line = block.substr(start, end - start);
        size_t colon = line.find(':');
        if (colon == name.size()) {
            bool same = true;
            for (size_t i = 0; i < colon; ++i) {
                if (tolower(static_cast<unsigned char>(line[i])) !=
                    tolower(static_cast<unsigned char>(name[i])))
                    same = false;
            }
            if (same) {
                size_t value = line.find_first_not_of(' ', colon + 1);
                return value == std::string::npos ? "" : line.substr(value);
            }
        }
        start = end + 2;
    }
    return {};
}

// The value of a Content-Type parameter such as start="<x>", quotes removed.
std::string parameterValue(const std::string& contentType, const std::string& name) {
    size_t position = contentType.find(name + "=");
    if (position == std::string::npos) return {};
    position += name.size() + 1;
    size_t end = contentType.find(';', position);
    std::string value =
        contentType.substr(position, end == std::string::npos ? end : end - position);
    while (!value.empty() && (value.front() == '"' || value.front() == ' ')) value.erase(0, 1);
    while (!value.empty() && (value.back() == '"' || value.back() == ' ')) value.pop_back();
    return value;
}

struct Part {
    std::string headers;
    std::string content;
};

// The parts between "--B" delimiters; nothing when the framing is broken.
std::optional<std::vector<Part>> splitMultipart(const std::string& body,
                                                const std::string& boundary, std::string* problem) {
    std::string delimiter = "--" + boundary;
    size_t position = body.find(delimiter);
    if (position == std::string::npos) {
        *problem = "multipart body without its boundary";
        return std::nullopt;
    }
    std::vector<Part> parts;
    while (true) {
        position += delimiter.size();
        if (body.compare(position, 2, "--") == 0) return parts;
        if (body.compare(position, 2, "\r\n") != 0) {
            *problem = "malformed multipart delimiter";
            return std::nullopt;
        }
        position += 2;
        size_t headersEnd = body.find("\r\n\r\n", position);
        if (headersEnd == std::string::npos) {
            *problem = "multipart part without an empty line";
            return std::nullopt;
        }
        size_t next = body.find("\r\n" + delimiter, headersEnd + 4);
        if (next == std::string::npos) {
            *problem = "multipart body without its closing delimiter";
            return std::nullopt;
        }
        parts.push_back(Part{body.substr(position, headersEnd - position),
                             body.substr(headersEnd + 4, next - headersEnd - 4)});
        position = next + 2;
    }
}

// Walks the envelope: Body's first child is the method, its children the parameters.
struct EnvelopeReader {
    int depth = 0;
    int bodyDepth = -1;
    int methodDepth = -1;
    bool methodDone = false;
    std::string currentParameter;
    std::string text;
    SOAPCall call;
    std::map<std::string, std::string> references;  // parameter -> content id

    void start(const std::string& name, const char** attributes) {
        ++depth;
        std::string local = localName(name);
        if (bodyDepth < 0 && local == "Body") {
            bodyDepth = depth;
        } else if (bodyDepth >= 0 && methodDepth < 0 && !methodDone && depth == bodyDepth + 1) {
            methodDepth = depth;
            call.method = local;
        } else if (methodDepth >= 0 && depth == methodDepth + 1) {
            currentParameter = local;
            text.clear();
        } else if (methodDepth >= 0 && depth == methodDepth + 2 && local == "Include") {
            for (int i = 0; attributes[i]; i += 2) {
                if (std::string(attributes[i]) == "href") {
                    std::string href = attributes[i + 1];
                    if (href.rfind("cid:", 0) == 0) href = href.substr(4);
                    references[currentParameter] = href;
                }
            }
        }
    }
    void end() {
        if (methodDepth >= 0 && depth == methodDepth + 1) {
            call.parameters[currentParameter] = text;
            currentParameter.clear();
        } else if (depth == methodDepth) {
            methodDepth = -1;
            methodDone = true;
        }
        --depth;
    }
    void characters(const char* data, int length) {
        if (!currentParameter.empty()) text.append(data, static_cast<size_t>(length));
    }
};

struct ParserDeleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

std::optional<EnvelopeReader> readEnvelope(const std::string& xml, std::string* problem) {
    if (xml.size() > INT_MAX) {
        *problem = "envelope too large";
        return std::nullopt;
    }
    EnvelopeReader reader;
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate(nullptr));
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(
        parser.get(),
        [](void* r, const XML_Char* name, const XML_Char** attributes) {
            static_cast<EnvelopeReader*>(r)->start(name, attributes);
        },
        [](void* r, const XML_Char*) { static_cast<EnvelopeReader*>(r)->end(); });
    XML_SetCharacterDataHandler(parser.get(), [](void* r, const XML_Char* data, int length) {
        static_cast<EnvelopeReader*>(r)->characters(data, length);
    });
    if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_ERROR) {
        *problem = std::string("malformed XML: ") + XML_ErrorString(XML_GetErrorCode(parser.get()));
        return std::nullopt;
    }
    if (reader.call.method.empty()) {
        *problem = "no method element inside soap:Body";
        return std::nullopt;
    }
    return reader;
}

}  // namespace

std::optional<SOAPCall> readSOAPRequest(const std::string* contentType, const std::string& body,
                                        std::string* problem) {
    std::string type = contentType ? *contentType : "";
    if (type.rfind("multipart/related", 0) != 0) {
        auto reader = readEnvelope(body, problem);
        if (!reader) return std::nullopt;
        if (!reader->references.empty()) {
            *problem = "xop:Include in a request without attachments";
            return std::nullopt;
        }
        return reader->call;
    }

    std::optional<std::string> boundary = MTOMBoundary(&type);
    if (!boundary || boundary->empty()) {
        *problem = "multipart request without a boundary";
        return std::nullopt;
    }
    auto parts = splitMultipart(body, *boundary, problem);
    if (!parts) return std::nullopt;
    if (parts->empty()) {
        *problem = "multipart request without parts";
        return std::nullopt;
    }
    std::string start = stripAngles(parameterValue(type, "start"));
    const Part* root = &parts->front();
    for (const Part& part : *parts) {
        if (!start.empty() && stripAngles(headerValue(part.headers, "Content-ID")) == start)
            root = &part;
    }
    if (headerValue(root->headers, "Content-Type").rfind("application/xop+xml", 0) != 0) {
        *problem = "root part is not application/xop+xml";
        return std::nullopt;
    }
    auto reader = readEnvelope(root->content, problem);
    if (!reader) return std::nullopt;
    SOAPCall call = reader->call;
    call.mtom = true;
    for (const auto& [parameter, id] : reader->references) {
        const Part* attachment = nullptr;
        for (const Part& part : *parts) {
            if (stripAngles(headerValue(part.headers, "Content-ID")) == id) attachment = &part;
        }
        if (!attachment) {
            *problem = "xop:Include refers to a missing part: " + id;
            return std::nullopt;
        }
        call.parameters[parameter] = attachment->content;
        call.fromAttachment[parameter] = true;
    }
    return call;
}

}  // namespace vtr::fake
