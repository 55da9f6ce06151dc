#include "api/VTRJobFormResponse.h"

#include <nlohmann/json.hpp>

#include "api/VTRJSONValue.h"
#include "foundation/VTRJSONTextWriter.h"
#include "httpserver/HTTPDataResponse.h"
#include "httpserver/VTRJSONResponse.h"
#include "jobs/VTRJSONTreeWriter.h"
#include "jobs/VTRManagedUploadJob.h"

namespace vtr {

namespace {

// What `write` puts into a JSON writer, as a 200 response.
template <typename Write>
std::unique_ptr<HTTPResponse> formResponse(const Write& write) {
    VTRJSONTextWriter text;
    write(text);
    if (text.ok()) {
        return std::make_unique<HTTPDataResponse>(
            text.takeText(), 200, HTTPHeaderList{{"Content-Type", "application/json"}});
    }
    VTRJSONTreeWriter tree;
    write(tree);
    return std::make_unique<VTRJSONResponse>(valueFromJSON(tree.takeValue()), 200);
}

}  // namespace

std::unique_ptr<HTTPResponse> VTRJobFormResponse(const VTRManagedUploadJob& job) {
    return formResponse([&job](auto& writer) { job.writeForm(writer); });
}

std::optional<std::string> VTRJobFormText(const VTRManagedUploadJob& job) {
    VTRJSONTextWriter text;
    job.writeForm(text);
    if (!text.ok()) return std::nullopt;
    return text.takeText();
}

std::unique_ptr<HTTPResponse> VTRJobListResponse(const std::vector<VTRManagedUploadJob*>& jobs) {
    return formResponse([&jobs](auto& writer) {
        writer.beginArray();
        for (const VTRManagedUploadJob* job : jobs) job->writeForm(writer);
        writer.endArray();
    });
}

}  // namespace vtr
