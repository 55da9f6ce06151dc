#include "soap/VTRSOAPMethodCaller.h"

#include <fmt/format.h>

#include <utility>

#include "foundation/VTRNullAdditions.h"
#include "foundation/VTRStringAdditions.h"
#include "httpclient/HTTPClient.h"
#include "httpclient/HTTPURLError.h"
#include "logging/VTRLog.h"
#include "soap/MTOMBoundary.h"
#include "soap/VTRSOAPXMLAccumulator.h"

namespace vtr {

namespace {

constexpr const char* kXSINamespace = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char* kXSDNamespace = "http://www.w3.org/2001/XMLSchema";
constexpr const char* kSOAPEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* kXOPNamespace = "http://www.w3.org/2004/08/xop/include";
constexpr const char* kRootPartType = "application/xop+xml; charset=UTF-8; type=\"text/xml\"";

std::string rootContentID() {
    return fmt::format("{}/0", kMTOMContentIDBase);
}
std::string attachmentContentID() {
    return fmt::format("{}/1", kMTOMContentIDBase);
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    size_t position = 0;
    while ((position = text.find(from, position)) != std::string::npos) {
        text.replace(position, from.size(), to);
        position += to.size();
    }
}

// The plain text of a number: decimal integers, shortest round-trip doubles, 1/0 for booleans.
std::string plainNumberText(const VTRValue& number) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) {
                return v ? "1" : "0";
            } else if constexpr (std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t> ||
                                 std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t> ||
                                 std::is_same_v<T, double>) {
                return fmt::format("{}", v);
            } else {
                return {};
            }
        },
        number.storage());
}

std::string serializeNumber(const VTRValue& number) {
    if (std::holds_alternative<int32_t>(number.storage()))
        return fmt::format("<int>{}</int>", plainNumberText(number));
    if (number.isDouble()) return fmt::format("<double>{}</double>", plainNumberText(number));
    return plainNumberText(number);
}

std::string serializeArray(const VTRArray& array) {
    std::string text;
    for (const VTRValue& item : array)
        text += VTRSOAPMethodCaller::serializeObject(item).value_or("");
    return text;
}

std::string serializeDictionary(const VTRDictionary& dictionary) {
    std::string text;
    for (const auto& [key, value] : dictionary) {
        text += fmt::format("<{}>{}</{}>", key,
                            VTRSOAPMethodCaller::serializeObject(value).value_or(""), key);
    }
    return text;
}

VTRError parseFailure(const std::string& method, const std::string& body) {
    VTRError error = VTRError::withDescription(
        VTRErrorDomain, VTRErrorCodeResponseUnusable, "Webservice failure",
        fmt::format("Failed to parse server response for method {}", method));
    error.mutableUserInfo()[VTRResponseBodyKey] = VTRValue(VTRBytes(body.begin(), body.end()));
    return error;
}

}  // namespace

VTRSOAPMethodCaller::VTRSOAPMethodCaller(std::string soapNamespace,
                                         std::string soapNamespaceExtension)
    : soapNamespace_(std::move(soapNamespace)),
      soapNamespaceExtension_(std::move(soapNamespaceExtension)) {}

std::string VTRSOAPMethodCaller::servicePath() const {
    std::lock_guard lock(mutex_);
    return servicePath_;
}

void VTRSOAPMethodCaller::setServicePath(std::string path) {
    std::lock_guard lock(mutex_);
    servicePath_ = std::move(path);
}

std::shared_ptr<HTTPClient> VTRSOAPMethodCaller::client() const {
    std::lock_guard lock(mutex_);
    return client_;
}

void VTRSOAPMethodCaller::setClient(std::shared_ptr<HTTPClient> client) {
    std::lock_guard lock(mutex_);
    client_ = std::move(client);
}

HTTPCallbackQueue VTRSOAPMethodCaller::callbackQueue() const {
    std::lock_guard lock(mutex_);
    return callbackQueue_;
}

void VTRSOAPMethodCaller::setCallbackQueue(HTTPCallbackQueue queue) {
    std::lock_guard lock(mutex_);
    callbackQueue_ = std::move(queue);
}

std::string VTRSOAPMethodCaller::combineNamespace(const std::string& ns,
                                                  const std::string* extension,
                                                  const std::string* method) {
    // Appended piece by piece: "literal" + std::string trips a false -Wrestrict in GCC 12.
    std::string joined = trimSlash(ns);
    if (extension && !extension->empty()) {
        joined += '/';
        joined += trimSlash(*extension);
    }
    joined += '/';
    if (method && !method->empty()) joined += trimSlash(*method);
    return joined;
}

int64_t VTRSOAPMethodCaller::bufferIndex(const VTRArray& parameters) {
    int64_t index = -1;
    for (size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i].isBytes()) index = static_cast<int64_t>(i);
    }
    return index;
}

std::optional<std::string> VTRSOAPMethodCaller::serializeObject(const VTRValue& value) {
    if (value.isString()) return serializeCharacters(value.stringValue());
    if (value.isDictionary()) return serializeDictionary(value.dictionaryValue());
    if (value.isNumber()) return serializeNumber(value);
    if (value.isArray()) return serializeArray(value.arrayValue());
    if (const VTRGuid* guid = value.guidValue()) return guid->soapParameterValue();
    return std::nullopt;
}

std::string VTRSOAPMethodCaller::serializeCharacters(const std::string& text) {
    std::string escaped = text;
    replaceAll(escaped, "&", "&amp;");
    replaceAll(escaped, "<", "&lt;");
    replaceAll(escaped, ">", "&gt;");
    replaceAll(escaped, "'", "&apos;");
    replaceAll(escaped, "\"", "&quot;");
    return escaped;
}

std::string VTRSOAPMethodCaller::createSOAPBody(const std::string& method,
                                                const std::vector<std::string>& parameterNames,
                                                const VTRArray& parameters,
                                                int64_t bufferIndex) const {
    std::string parameterText;
    // Values without a name are dropped rather than read past the names.
    size_t count = std::min(parameterNames.size(), parameters.size());
    for (size_t i = 0; i < count; ++i) {
        const VTRValue& value = parameters[i];
        if (value.isNull()) continue;
        std::string content;
        if (static_cast<int64_t>(i) == bufferIndex) {
            content = fmt::format("<xop:Include xmlns:xop=\"{}\" href=\"cid:{}\"/>", kXOPNamespace,
                                  attachmentContentID());
        } else if (value.isNumber()) {
            content = plainNumberText(value);
        } else {
            content = serializeObject(value).value_or("");
        }
        const std::string& name = parameterNames[i];
        parameterText += fmt::format("<{}>{}</{}>", name, content, name);
    }
    std::string methodElement =
        fmt::format("<{} xmlns=\"{}\">{}</{}>", method,
                    combineNamespace(soapNamespace_, nullptr, nullptr), parameterText, method);
    return fmt::format(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
        "<soap:Envelope xmlns:xsi=\"{}\" xmlns:xsd=\"{}\" xmlns:soap=\"{}\" xmlns=\"{}\">"
        "<soap:Body>{}</soap:Body></soap:Envelope>",
        kXSINamespace, kXSDNamespace, kSOAPEnvelopeNamespace, soapNamespace_, methodElement);
}

HTTPRequest VTRSOAPMethodCaller::requestWithEnvelope(const std::string& envelope,
                                                     std::shared_ptr<const void> owner,
                                                     const VTRBytes* buffer,
                                                     const std::string& soapMethod) const {
    std::shared_ptr<HTTPClient> httpClient = client();
    std::string path = servicePath();
    HTTPRequest request;
    if (!buffer) {
        request = httpClient->requestWithMethod("POST", path);
        HTTPRequestBody body;
        body.append(envelope);
        request.setBody(std::move(body));
        request.setValueForHTTPHeaderField("text/xml; charset=utf-8", "Content-Type");
    } else {
        request = httpClient->multipartFormRequestWithMethod(
            "POST", path, [&](HTTPMultipartFormData& formData) {
                formData.appendPartWithHeaders(
                    {{"Content-Type", kRootPartType},
                     {"Content-ID", fmt::format("<{}>", rootContentID())}},
                    envelope);
                formData.appendPartWithHeaders(
                    {{"Content-Type", "application/octet-stream"},
                     {"Content-Transfer-Encoding", "binary"},
                     {"Content-ID", fmt::format("<{}>", attachmentContentID())}},
                    std::move(owner), buffer->data(), buffer->size());
            });
        std::string boundary =
            MTOMBoundary(request.valueForHTTPHeaderField("Content-Type")).value_or("");
        request.setValueForHTTPHeaderField(
            fmt::format("multipart/related;type=\"application/xop+xml\";boundary={};start=\"{}\";"
                        "start-info=\"text/xml\"",
                        boundary, rootContentID()),
            "Content-Type");
    }
    request.setValueForHTTPHeaderField(
        fmt::format("\"{}\"",
                    combineNamespace(soapNamespace_, &soapNamespaceExtension_, &soapMethod)),
        "SOAPAction");
    request.setTimeoutInterval(requestTimeout_);
    return request;
}

std::optional<std::string> VTRSOAPMethodCaller::bodyDataFromResponse(
    const std::string& body, const std::optional<std::string>& boundary) {
    if (!boundary) return body;
    size_t headerEnd = body.find("\r\n\r\n");
    size_t trailer = boundary->size() + 6;
    if (headerEnd == std::string::npos || body.size() < trailer) return std::nullopt;
    size_t start = headerEnd + 4;
    size_t end = body.size() - trailer;
    if (start > end) return std::nullopt;
    return body.substr(start, end - start);
}

std::optional<VTRDictionary> VTRSOAPMethodCaller::soapResultsFromData(
    const std::string& body, const std::string& method, const std::optional<std::string>& boundary,
    bool logSoap, VTRError* error) {
    VTRSOAPXMLAccumulator accumulator(method + "Response", method + "Result");
    std::optional<std::string> xml = bodyDataFromResponse(body, boundary);
    if (!xml) {
        setError(error, parseFailure(method, body));
        return std::nullopt;
    }
    if (logSoap) VTRLogInfo("{}", *xml);
    accumulator.parse(*xml);
    std::optional<VTRDictionary> value = accumulator.finalValue();
    if (!value) {
        setError(error, parseFailure(method, *xml));
        return std::nullopt;
    }
    if (error) *error = VTRError();
    const VTRValue* response = find(*value, "response");
    const VTRValue* result = response ? response->find(method + "Result") : nullptr;
    if (!result) return value;
    VTRValue resultValue = *result;
    if (resultValue.isDictionary() && resultValue.dictionaryValue().empty())
        resultValue = VTRNull{};
    return VTRDictionary{{"response", std::move(resultValue)}};
}

std::shared_ptr<HTTPRequestOperation> VTRSOAPMethodCaller::callRemoteMethod(
    const std::string& method, const std::vector<std::string>& parameterNames, VTRArray parameters,
    VTRRemoteSuccess success, VTRRemoteFailure failure) {
    // The request streams the attachment from these parameters, so they live as long as it.
    auto values = std::make_shared<const VTRArray>(std::move(parameters));
    int64_t index = bufferIndex(*values);
    std::string document = createSOAPBody(method, parameterNames, *values, index);
    if (logSoap_) VTRLogInfo("Calling SOAP method with XML: {}", document);
    const VTRBytes* buffer =
        index >= 0 ? &(*values)[static_cast<size_t>(index)].bytesValue() : nullptr;

    HTTPCallbackQueue queue = callbackQueue();
    std::shared_ptr<HTTPClient> httpClient = client();
    if (!httpClient) {
        VTRError error = NSURLError(NSURLErrorUnknown, "", "no HTTP client configured");
        dispatchOnCallbackQueue(queue, [failure = std::move(failure), error] {
            if (failure) failure(error, nullptr);
        });
        return nullptr;
    }
    HTTPRequest request = requestWithEnvelope(document, values, buffer, method);
    bool logResponses = logSoap_;

    auto onSuccess = [method, queue, logResponses, success, failure](
                         HTTPRequestOperation& operation, const std::string& body) {
        std::shared_ptr<const HTTPURLResponse> response = operation.response();
        const std::string* contentType =
            response ? response->valueForHTTPHeaderField("Content-Type") : nullptr;
        std::optional<std::string> boundary;
        if (contentType && !isEmpty(*contentType)) boundary = MTOMBoundary(contentType);
        VTRError error;
        std::optional<VTRDictionary> results =
            soapResultsFromData(body, method, boundary, logResponses, &error);
        dispatchOnCallbackQueue(queue, [results = std::move(results), error = std::move(error),
                                        response, success, failure] {
            if (!results) {
                if (failure) failure(error, response.get());
            } else if (success) {
                success(*results, response.get());
            }
        });
    };
    auto onFailure = [queue, failure](HTTPRequestOperation& operation, const VTRError& error) {
        VTRLogInfo("{}", error.localizedDescription());
        std::shared_ptr<const HTTPURLResponse> response = operation.response();
        dispatchOnCallbackQueue(queue, [error, response, failure] {
            VTRDictionary info = error.userInfo();
            if (const std::string* code =
                    response ? response->valueForHTTPHeaderField(VTRServerErrorCodeKey) : nullptr) {
                info[VTRServerErrorCodeKey] = *code;
            }
            if (failure)
                failure(VTRError(error.domain(), error.code(), std::move(info)), response.get());
        });
    };

    auto operation =
        httpClient->HTTPRequestOperationWithRequest(std::move(request), onSuccess, onFailure);
    operation->setSuccessCallbackQueue(queue);
    operation->setFailureCallbackQueue(queue);
    httpClient->enqueueHTTPRequestOperation(operation);
    return operation;
}

}  // namespace vtr
