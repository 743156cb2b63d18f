#include "Supplies.h"

#include "Drivers.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

namespace quill::printui {
namespace {

// key=value pairs separated by ';'; a part without '=' is skipped.
std::map<std::string, std::string> Fields(const std::string& value) {
    std::map<std::string, std::string> fields;
    std::size_t start = 0;
    while (start < value.size()) {
        std::size_t end = value.find(';', start);
        if (end == std::string::npos) end = value.size();
        const std::string part = value.substr(start, end - start);
        if (const std::size_t equals = part.find('='); equals != std::string::npos && equals > 0)
            fields.emplace(part.substr(0, equals), part.substr(equals + 1));
        start = end + 1;
    }
    return fields;
}

std::optional<long long> Number(const std::map<std::string, std::string>& fields, const char* key) {
    const auto it = fields.find(key);
    if (it == fields.end()) return std::nullopt;
    long long number = 0;
    const char* first = it->second.data();
    const char* last = first + it->second.size();
    const auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last) return std::nullopt;
    return number;
}

std::string ColourOf(std::string colorant) {
    std::string key;
    for (const char c : colorant)
        if (c != '-' && c != '_') key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const std::map<std::string, std::string> kColours = {
        {"black", "#000000"},     {"photoblack", "#000000"}, {"matteblack", "#000000"},   {"cyan", "#00FFFF"},
        {"lightcyan", "#80FFFF"}, {"magenta", "#FF00FF"},    {"lightmagenta", "#FF80FF"}, {"yellow", "#FFFF00"},
        {"red", "#FF0000"},       {"green", "#00FF00"},      {"blue", "#0000FF"},         {"gray", "#808080"},
        {"grey", "#808080"},      {"lightgray", "#C0C0C0"},  {"lightgrey", "#C0C0C0"},    {"white", "#FFFFFF"},
        {"orange", "#FFA500"},    {"violet", "#8000FF"},
    };
    const auto it = kColours.find(key);
    return it == kColours.end() ? "none" : it->second;
}

// "wasteToner" -> "waste-toner".
std::string Keyword(const std::string& camel) {
    std::string keyword;
    for (const char c : camel) {
        if (std::isupper(static_cast<unsigned char>(c))) {
            if (!keyword.empty()) keyword += '-';
            keyword += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else {
            keyword += c;
        }
    }
    return keyword;
}

std::vector<std::string> ValuesOf(ipp_t* answer, const char* name) {
    std::vector<std::string> values;
    ipp_attribute_t* attr = ippFindAttribute(answer, name, IPP_TAG_ZERO);
    for (int i = 0; attr && i < ippGetCount(attr); ++i) {
        if (ippGetValueTag(attr) == IPP_TAG_STRING) {
            int length = 0;
            const void* data = ippGetOctetString(attr, i, &length);
            values.emplace_back(data ? static_cast<const char*>(data) : "", data ? std::max(length, 0) : 0);
        } else {
            const char* text = ippGetString(attr, i, nullptr);
            values.emplace_back(text ? text : "");
        }
    }
    return values;
}

} // namespace

std::vector<Marker> MarkersFromSupplies(const std::vector<std::string>& supplies,
                                        const std::vector<std::string>& descriptions) {
    std::vector<Marker> markers;
    for (std::size_t i = 0; i < supplies.size(); ++i) {
        const auto fields = Fields(supplies[i]);
        Marker m;
        const auto type = fields.find("type");
        if (type != fields.end()) m.type = Keyword(type->second);
        m.name = i < descriptions.size() && !descriptions[i].empty() ? descriptions[i] : m.type;
        const auto colorant = fields.find("colorantname");
        m.color = colorant == fields.end() ? "none" : ColourOf(colorant->second);
        const auto level = Number(fields, "level");
        const auto capacity = Number(fields, "maxcapacity");
        const auto unit = fields.find("unit");
        const bool percent = unit != fields.end() && unit->second == "percent";
        if (level && *level >= 0) {
            if (capacity && *capacity > 0)
                m.level = *level >= *capacity ? 100 : static_cast<int>(static_cast<double>(*level) * 100 / *capacity);
            else if (percent || unit == fields.end()) m.level = static_cast<int>(std::min(*level, 100LL));
        }
        markers.push_back(std::move(m));
    }
    return markers;
}

std::optional<std::vector<Marker>> ReadDeviceSupplies(const std::string& deviceUri, std::string& error) {
    const Ipp answer =
        AskIppDevice(deviceUri,
                     {"marker-names", "marker-levels", "marker-colors", "marker-types", "marker-low-levels",
                      "marker-high-levels", "printer-supply", "printer-supply-description"},
                     error);
    if (!answer) return std::nullopt;
    std::vector<Marker> markers = MarkersOf(answer.get());
    if (!markers.empty()) return markers;
    return MarkersFromSupplies(ValuesOf(answer.get(), "printer-supply"),
                               ValuesOf(answer.get(), "printer-supply-description"));
}

} // namespace quill::printui
