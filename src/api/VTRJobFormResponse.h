// The answers of GET /jobs/:id and GET /jobs: a job's form, or every job's form in a list, as
// a 200 JSON response written straight from the records, with no JSON tree in between (that
// tree was most of the work the route itself did). Text that is not UTF-8 (clients send UTF-8,
// but a database edited by hand need not hold it) goes through VTRJSONResponse, which warns
// and sends an empty body. Any thread; the records belong to the caller's store.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "httpserver/HTTPResponse.h"

namespace vtr {

class VTRManagedUploadJob;

std::unique_ptr<HTTPResponse> VTRJobFormResponse(const VTRManagedUploadJob& job);
// The same text as VTRJobFormResponse's body, for the event stream; nothing for text that is not
// UTF-8.
std::optional<std::string> VTRJobFormText(const VTRManagedUploadJob& job);
std::unique_ptr<HTTPResponse> VTRJobListResponse(const std::vector<VTRManagedUploadJob*>& jobs);

}  // namespace vtr
