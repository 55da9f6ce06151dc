// VTRSOAPXMLAccumulator: collects the method's response element out of a SOAP response while an
// XML parser walks it, as a tree of dictionaries, arrays and strings; everything outside that
// element is ignored. One accumulator serves one parse, on the thread that runs it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/VTRValue.h"

namespace vtr {

class VTRSOAPXMLAccumulator {
  public:
    VTRSOAPXMLAccumulator(std::string responseTag, std::string resultTag);

    // The parser's events. Names are compared exactly as written, prefix included.
    void didStartElement(const std::string& name);
    void didEndElement();
    void foundCharacters(std::string_view text);
    void parseErrorOccurred();

    // Runs Expat (no namespace processing) over `xml`, feeding the events above. Whether the
    // document was well-formed is not reported: finalValue() tells what was found.
    void parse(std::string_view xml);

    // Nothing until the response element started; then the root dictionary, whose single
    // entry "response" exists once the response element ended.
    std::optional<VTRDictionary> finalValue() const;

    const std::string& response() const { return response_; }
    const std::string& result() const { return result_; }

  private:
    // One open element: its children's values by name in document order, and its text.
    struct Frame {
        std::string key;
        std::optional<std::map<std::string, VTRArray>> dict;
        std::optional<std::string> value;
    };

    std::string response_;
    std::string result_;
    std::optional<VTRDictionary> value_;
    std::optional<std::vector<Frame>> stack_;
};

}  // namespace vtr
