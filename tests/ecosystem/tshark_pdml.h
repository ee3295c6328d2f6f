#pragma once

#include <string>
#include <vector>

namespace korvel::testing {

struct DecodedField {
    std::string name;
    std::string show;
    std::string showname;
};

// One frame of tshark's PDML output: every protocol and every field of it,
// flattened in tree order.
class DecodedFrame {
public:
    std::vector<DecodedField> fields;

    bool has(const std::string& name) const;
    // The show text of the first field with that name, or "" when there is none.
    std::string show(const std::string& name) const;
    std::string showname(const std::string& name) const;
    std::vector<std::string> shows(const std::string& name) const;
    std::vector<std::string> shownames(const std::string& name) const;
};

struct TsharkRun {
    bool started = false;
    int exitCode = -1;
    std::string errors;
    std::vector<DecodedFrame> frames;
};

// Empty when tshark is not installed.
std::string FindTshark();

// Decodes a capture with the Korvel dissector loaded, in a private settings
// folder so that an operator's own Wireshark set-up cannot change the result.
TsharkRun DecodeWithDissector(const std::string& capture, const std::vector<std::string>& options = {});

} // namespace korvel::testing
