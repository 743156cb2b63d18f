#include "PrinterOptions.h"

// A PPD queue's own options are in its PPD and nowhere else (CUPS does not offer them
// as printer attributes), so this file reads PPDs through libcups' PPD functions,
// which libcups marks as deprecated.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace quill::printui {
namespace {

struct PpdClose {
    void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};
using Ppd = std::unique_ptr<ppd_file_t, PpdClose>;

struct DestsFree {
    int count = 0;
    cups_dest_t* dests = nullptr;
    ~DestsFree() { cupsFreeDests(count, dests); }
};

// The queue's PPD, or null for a queue without one (a raw or driverless queue).
Ppd FetchPpd(http_t* http, const std::string& queue) {
    char path[1024] = "";
    time_t modified = 0;
    if (cupsGetPPD3(http, queue.c_str(), &modified, path, sizeof path) != HTTP_STATUS_OK) return nullptr;
    Ppd ppd(ppdOpenFile(path));
    ::unlink(path);
    if (ppd) ppdMarkDefaults(ppd.get());
    return ppd;
}

std::string Label(const std::vector<std::pair<std::string, std::string>>& names, const std::string& value) {
    for (const auto& [v, label] : names)
        if (v == value) return label;
    return value;
}

// The printer's supported values of an IPP attribute as choices; the enums and
// integers as their numbers.
std::vector<Choice> ChoicesOf(ipp_t* answer, const std::string& name,
                              const std::vector<std::pair<std::string, std::string>>& labels) {
    std::vector<Choice> choices;
    ipp_attribute_t* attr = ippFindAttribute(answer, (name + "-supported").c_str(), IPP_TAG_ZERO);
    if (!attr) return choices;
    const int count = ippGetCount(attr);
    for (int i = 0; i < count; ++i) {
        std::string value;
        switch (ippGetValueTag(attr)) {
        case IPP_TAG_INTEGER:
        case IPP_TAG_ENUM: value = std::to_string(ippGetInteger(attr, i)); break;
        case IPP_TAG_RANGE: {
            int upper = 0;
            const int lower = ippGetRange(attr, i, &upper);
            for (int n : {1, 2, 4, 6, 9, 16})
                if (n >= lower && n <= upper) choices.push_back({std::to_string(n), std::to_string(n)});
            continue;
        }
        default:
            if (const char* text = ippGetString(attr, i, nullptr)) value = text;
        }
        if (value.empty()) continue;
        std::string label = Label(labels, value);
        if (name == "media" && label == value) {
            if (pwg_media_t* media = pwgMediaForPWG(value.c_str()); media && media->ppd) label = media->ppd;
        }
        choices.push_back({value, label});
    }
    return choices;
}

std::string DefaultOf(ipp_t* answer, const std::string& name) {
    ipp_attribute_t* attr = ippFindAttribute(answer, (name + "-default").c_str(), IPP_TAG_ZERO);
    if (!attr) return "";
    switch (ippGetValueTag(attr)) {
    case IPP_TAG_INTEGER:
    case IPP_TAG_ENUM: return std::to_string(ippGetInteger(attr, 0));
    default: {
        const char* text = ippGetString(attr, 0, nullptr);
        return text ? text : "";
    }
    }
}

bool HasChoice(const PrinterOption& option, const std::string& value) {
    return std::any_of(option.choices.begin(), option.choices.end(), [&](const Choice& c) { return c.value == value; });
}

// The saved choice when the option offers it, else the printer's default.
void Preset(PrinterOption& option, const char* saved, const std::string& printerDefault) {
    if (saved && (option.choices.empty() || HasChoice(option, saved))) option.preset = saved;
    else option.preset = printerDefault;
}

PrinterOption FromPpd(ppd_option_t* ppdOption, const char* saved) {
    PrinterOption option;
    option.name = ppdOption->keyword;
    option.label = ppdOption->text[0] ? ppdOption->text : ppdOption->keyword;
    option.fromPpd = true;
    for (int i = 0; i < ppdOption->num_choices; ++i) {
        const ppd_choice_t& choice = ppdOption->choices[i];
        if (std::string(choice.choice) == "Custom") continue;
        option.choices.push_back({choice.choice, choice.text[0] ? choice.text : choice.choice});
    }
    Preset(option, saved, ppdOption->defchoice);
    return option;
}

// A PPD's options for the user: those of its groups but the installable options (the
// administrator's), one choice each.
void CollectPpdOptions(ppd_group_t* groups, int count, std::vector<ppd_option_t*>& options) {
    for (int g = 0; g < count; ++g) {
        ppd_group_t& group = groups[g];
        if (std::string(group.name) == "InstallableOptions") continue;
        for (int o = 0; o < group.num_options; ++o)
            if (group.options[o].ui != PPD_UI_PICKMANY) options.push_back(&group.options[o]);
        CollectPpdOptions(group.subgroups, group.num_subgroups, options);
    }
}

} // namespace

std::optional<std::vector<PrinterOption>> ReadOptions(const PrinterAddress& address, std::string& error) {
    const auto connection = Connect(address, error);
    if (!connection) return std::nullopt;

    struct Standard {
        const char* name;
        const char* label;
        std::vector<std::pair<std::string, std::string>> labels;
    };
    static const Standard kStandard[] = {
        {"media", "Paper size", {}},
        {"sides",
         "Two-sided printing",
         {{"one-sided", "Off"},
          {"two-sided-long-edge", "Long edge (book)"},
          {"two-sided-short-edge", "Short edge (tablet)"}}},
        {"print-color-mode",
         "Colour mode",
         {{"color", "Colour"}, {"monochrome", "Black and white"}, {"auto", "Automatic"}, {"bi-level", "Two tones"}}},
        {"print-quality", "Print quality", {{"3", "Draft"}, {"4", "Normal"}, {"5", "High"}}},
        {"orientation-requested",
         "Orientation",
         {{"3", "Portrait"}, {"4", "Landscape"}, {"5", "Reverse landscape"}, {"6", "Reverse portrait"}}},
        {"number-up", "Pages per sheet", {}},
        {"copies", "Copies", {}},
    };

    std::vector<const char*> wanted;
    std::vector<std::string> names;
    for (const auto& s : kStandard) {
        names.push_back(std::string(s.name) + "-supported");
        names.push_back(std::string(s.name) + "-default");
    }
    for (const auto& n : names) wanted.push_back(n.c_str());
    ipp_t* request = NewPrinterRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, address);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", static_cast<int>(wanted.size()),
                  nullptr, wanted.data());
    const Ipp answer = connection->Send(request);
    if (!answer) {
        error = connection->Error();
        return std::nullopt;
    }

    // The user's saved choices, as lpoptions keeps them.
    DestsFree dests;
    dests.count = cupsGetDests2(connection->Http(), &dests.dests);
    cups_dest_t* dest = cupsGetDest(address.queue.c_str(), nullptr, dests.count, dests.dests);
    auto saved = [&](const char* name) -> const char* {
        return dest ? cupsGetOption(name, dest->num_options, dest->options) : nullptr;
    };

    Ppd ppd = FetchPpd(connection->Http(), address.queue);
    std::vector<PrinterOption> options;
    for (const auto& s : kStandard) {
        PrinterOption option;
        option.name = s.name;
        option.label = s.label;
        if (option.name == "copies") {
            ipp_attribute_t* range = ippFindAttribute(answer.get(), "copies-supported", IPP_TAG_RANGE);
            if (!range) continue;
            option.minimum = ippGetRange(range, 0, &option.maximum);
            Preset(option, saved("copies"), DefaultOf(answer.get(), "copies"));
            options.push_back(option);
            continue;
        }
        if (option.name == "media" && ppd) {
            // A PPD queue's paper sizes are the PPD's, by their PPD names.
            ppd_option_t* sizes = ppdFindOption(ppd.get(), "PageSize");
            if (!sizes) continue;
            option = FromPpd(sizes, nullptr);
            option.name = s.name;
            option.label = s.label;
            option.fromPpd = false;
            const char* choice = saved("media") ? saved("media") : saved("PageSize");
            if (choice && !HasChoice(option, choice)) {
                pwg_media_t* media = pwgMediaForPWG(choice);
                if (!media) media = pwgMediaForLegacy(choice);
                if (media && media->ppd) choice = media->ppd;
            }
            Preset(option, choice, sizes->defchoice);
            options.push_back(option);
            continue;
        }
        option.choices = ChoicesOf(answer.get(), option.name, s.labels);
        if (option.choices.empty()) continue;
        Preset(option, saved(s.name), DefaultOf(answer.get(), option.name));
        options.push_back(option);
    }

    if (ppd) {
        // Options that the standard ones above already set are left out.
        std::vector<std::string> covered = {"PageSize", "PageRegion", "Duplex"};
        auto offered = [&](const char* name) {
            return std::any_of(options.begin(), options.end(), [&](const PrinterOption& o) { return o.name == name; });
        };
        if (offered("print-color-mode")) covered.push_back("ColorModel");
        if (offered("print-quality")) covered.push_back("cupsPrintQuality");
        std::vector<ppd_option_t*> ppdOptions;
        CollectPpdOptions(ppd->groups, ppd->num_groups, ppdOptions);
        for (ppd_option_t* o : ppdOptions) {
            if (std::find(covered.begin(), covered.end(), o->keyword) != covered.end()) continue;
            PrinterOption option = FromPpd(o, saved(o->keyword));
            if (!option.choices.empty()) options.push_back(option);
        }
    }
    return options;
}

bool SaveOptions(const PrinterAddress& address, const std::vector<std::pair<std::string, std::string>>& options,
                 std::string& error) {
    if (options.empty()) return true;
    const auto connection = Connect(address, error);
    if (!connection) return false;
    DestsFree dests;
    dests.count = cupsGetDests2(connection->Http(), &dests.dests);
    cups_dest_t* dest = cupsGetDest(address.queue.c_str(), nullptr, dests.count, dests.dests);
    if (!dest) {
        dests.count = cupsAddDest(address.queue.c_str(), nullptr, dests.count, &dests.dests);
        dest = cupsGetDest(address.queue.c_str(), nullptr, dests.count, dests.dests);
    }
    for (const auto& [name, value] : options)
        dest->num_options = cupsAddOption(name.c_str(), value.c_str(), dest->num_options, &dest->options);
    if (cupsSetDests2(connection->Http(), dests.count, dests.dests) != 0) {
        const char* reason = cupsLastErrorString();
        error = reason && *reason ? reason : "The options could not be written.";
        return false;
    }
    return true;
}

} // namespace quill::printui
