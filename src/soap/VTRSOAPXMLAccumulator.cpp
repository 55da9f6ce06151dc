#include "soap/VTRSOAPXMLAccumulator.h"

#include <expat.h>

#include <climits>
#include <memory>

#include "logging/VTRLog.h"

namespace vtr {

namespace {

constexpr const char* kResponseKey = "response";

// An array of one becomes its element, an empty array disappears, longer ones stay arrays.
VTRDictionary collapse(std::map<std::string, VTRArray>& children) {
    VTRDictionary collapsed;
    for (auto& [name, values] : children) {
        if (values.size() == 1) {
            collapsed.emplace(name, std::move(values.front()));
        } else if (values.size() > 1) {
            collapsed.emplace(name, VTRValue(std::move(values)));
        }
    }
    return collapsed;
}

struct ParserDeleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

}  // namespace

VTRSOAPXMLAccumulator::VTRSOAPXMLAccumulator(std::string responseTag, std::string resultTag)
    : response_(std::move(responseTag)), result_(std::move(resultTag)) {}

void VTRSOAPXMLAccumulator::didStartElement(const std::string& name) {
    std::string key = name;
    if (name == response_ && !value_) {
        stack_.emplace();
        value_.emplace();
        key = kResponseKey;
    }
    if (stack_) stack_->push_back(Frame{std::move(key), std::nullopt, std::nullopt});
}

void VTRSOAPXMLAccumulator::foundCharacters(std::string_view text) {
    if (!stack_ || stack_->empty()) return;
    Frame& frame = stack_->back();
    if (frame.value) {
        frame.value->append(text);
    } else {
        frame.value.emplace(text);
    }
}

void VTRSOAPXMLAccumulator::didEndElement() {
    if (!stack_ || stack_->empty()) return;
    Frame frame = std::move(stack_->back());
    stack_->pop_back();

    std::optional<VTRValue> contribution;
    if (frame.dict) {
        contribution = VTRValue(collapse(*frame.dict));
    } else if (frame.value) {
        contribution = VTRValue(std::move(*frame.value));
    }

    if (!stack_->empty()) {
        Frame& parent = stack_->back();
        if (!parent.dict) parent.dict.emplace();
        VTRArray& siblings = (*parent.dict)[frame.key];
        if (contribution) siblings.push_back(std::move(*contribution));
        return;
    }

    // The response element itself ended.
    stack_.reset();
    if (contribution && contribution->isDictionary() && contribution->dictionaryValue().empty()) {
        (*value_)[kResponseKey] = VTRValue(VTRDictionary{{result_, VTRValue(VTRDictionary{})}});
    } else if (contribution) {
        (*value_)[kResponseKey] = std::move(*contribution);
    } else {
        (*value_)[kResponseKey] = VTRValue(VTRDictionary{});
    }
}

void VTRSOAPXMLAccumulator::parseErrorOccurred() {
    VTRLogInfo("{}", "-[VTRSOAPXMLAccumulator parser:parseErrorOccurred:]");
    VTRLogInfo("XML parsing error occurred");
}

void VTRSOAPXMLAccumulator::parse(std::string_view xml) {
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate(nullptr));
    if (!parser) {
        parseErrorOccurred();
        return;
    }
    XML_SetUserData(parser.get(), this);
    XML_SetElementHandler(
        parser.get(),
        [](void* self, const XML_Char* name, const XML_Char**) {
            static_cast<VTRSOAPXMLAccumulator*>(self)->didStartElement(name);
        },
        [](void* self, const XML_Char*) {
            static_cast<VTRSOAPXMLAccumulator*>(self)->didEndElement();
        });
    XML_SetCharacterDataHandler(parser.get(), [](void* self, const XML_Char* text, int length) {
        static_cast<VTRSOAPXMLAccumulator*>(self)->foundCharacters(
            std::string_view(text, static_cast<size_t>(length)));
    });

    // Expat takes int lengths: feed large bodies in slices.
    constexpr size_t kSlice = INT_MAX / 2;
    size_t offset = 0;
    do {
        size_t length = std::min(kSlice, xml.size() - offset);
        bool last = offset + length == xml.size();
        if (XML_Parse(parser.get(), xml.data() + offset, static_cast<int>(length), last) ==
            XML_STATUS_ERROR) {
            parseErrorOccurred();
            return;
        }
        offset += length;
    } while (offset < xml.size());
}

std::optional<VTRDictionary> VTRSOAPXMLAccumulator::finalValue() const {
    return value_;
}

}  // namespace vtr
