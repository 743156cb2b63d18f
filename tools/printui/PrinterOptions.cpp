#include "PrinterOptions.h"

#include "platform/RegistryStore.h"
#include "spooler/LastError.h"

// A PPD queue's own options are in its PPD and nowhere else (CUPS does not offer them
// as printer attributes), so this file reads PPDs through libcups' PPD functions,
// which libcups marks as deprecated.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quill::printui {
namespace {

struct PpdClose {
    void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};
using Ppd = std::unique_ptr<ppd_file_t, PpdClose>;

// The user's CUPS options file, ~/.cups/lpoptions: one line per printer, "Dest NAME" or
// "Default NAME" (the default printer) followed by its options. CUPS reads the
// computer's file first, then the user's, whose options win.
std::string UserLpoptionsFile() {
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.cups/lpoptions";
}

std::string SystemLpoptionsFile() {
    const char* root = std::getenv("CUPS_SERVERROOT");
    return std::string(root && *root ? root : "/etc/cups") + "/lpoptions";
}

// The file's lines; nullopt with the reason when it exists but cannot be read. Read with
// the bound of a settings hive: a file larger than any CUPS writes counts as unreadable.
std::optional<std::vector<std::string>> ReadLines(const std::string& path, std::string& error) {
    std::vector<std::string> lines;
    const auto bytes = platform::ReadWholeFile(path, platform::kMaxHiveSize);
    if (!bytes) {
        if (errno == ENOENT) return lines;
        error = path + " cannot be read: " + std::strerror(errno);
        return std::nullopt;
    }
    std::size_t from = 0;
    while (from < bytes->size()) {
        const std::size_t end = std::min(bytes->find('\n', from), bytes->size());
        lines.push_back(bytes->substr(from, end - from));
        from = end + 1;
    }
    return lines;
}

// Where the options of a line start when it is the queue's line ("Dest" or "Default",
// then the name, as CUPS compares them: without regard to case); npos otherwise.
std::size_t OptionsOfQueue(const std::string& line, const std::string& queue) {
    std::istringstream words(line);
    std::string keyword, name;
    if (!(words >> keyword >> name)) return std::string::npos;
    if (strcasecmp(keyword.c_str(), "Dest") != 0 && strcasecmp(keyword.c_str(), "Default") != 0)
        return std::string::npos;
    if (strcasecmp(name.c_str(), queue.c_str()) != 0) return std::string::npos;
    const auto at = words.tellg();
    return at < 0 ? line.size() : static_cast<std::size_t>(at);
}

struct OptionsFree {
    int count = 0;
    cups_option_t* options = nullptr;
    ~OptionsFree() { cupsFreeOptions(count, options); }
};

// The options CUPS keeps for the queue: the computer's, then the user's over them. The
// computer's file, as for CUPS, counts only when it can be read.
bool SavedOptions(const std::string& queue, OptionsFree& saved, std::string& error) {
    for (const std::string& path : {SystemLpoptionsFile(), UserLpoptionsFile()}) {
        auto lines = ReadLines(path, error);
        if (!lines && path != UserLpoptionsFile()) {
            lines.emplace();
            error.clear();
        }
        if (!lines) return false;
        for (const std::string& line : *lines)
            if (const auto at = OptionsOfQueue(line, queue); at != std::string::npos)
                saved.count = cupsParseOptions(line.c_str() + at, saved.count, &saved.options);
    }
    return true;
}

// An option as CUPS writes it into lpoptions: a value with blanks, quotes or
// backslashes in double quotes, those characters escaped.
std::string OptionText(const char* name, const char* value) {
    std::string text = std::string(" ") + name;
    if (!*value) return text;
    const std::string v = value;
    if (v.find_first_of(" \t\\\"'") == std::string::npos) return text + "=" + v;
    text += "=\"";
    for (char c : v) {
        if (c == '\\' || c == '"' || c == '\'') text += '\\';
        text += c;
    }
    return text + "\"";
}

// The queue's PPD, or null for a queue without one (a raw or driverless queue).
// The queue's PPD; none for a queue without one (a raw or IPP Everywhere queue), nullopt
// when the server could not be asked (the reason: cupsLastErrorString).
std::optional<Ppd> FetchPpd(http_t* http, const std::string& queue) {
    char path[1024] = "";
    time_t modified = 0;
    const http_status_t status = cupsGetPPD3(http, queue.c_str(), &modified, path, sizeof path);
    if (status == HTTP_STATUS_NOT_FOUND) return Ppd();
    if (status != HTTP_STATUS_OK) return std::nullopt;
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

std::optional<std::vector<PrinterOption>> ReadOptions(const PrinterAddress& address, std::string& error,
                                                      Presets presets) {
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
        error = spooler::LastFailure().reason;
        return std::nullopt;
    }

    // The user's saved choices, as lpoptions keeps them; without them the dialog would
    // offer the printer's defaults as if they were the user's.
    OptionsFree savedOptions;
    if (presets == Presets::User && !SavedOptions(address.queue, savedOptions, error)) return std::nullopt;
    auto saved = [&](const char* name) { return cupsGetOption(name, savedOptions.count, savedOptions.options); };

    std::optional<Ppd> fetched = FetchPpd(connection->Http(), address.queue);
    if (!fetched) {
        error = cupsLastErrorString();
        return std::nullopt;
    }
    Ppd ppd = std::move(*fetched);
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

namespace {

// Rewrites the user's lpoptions with edit applied to its lines, once the server has
// confirmed the printer, so that a printer the server does not answer for never changes
// the file. The file is replaced in one step: CUPS and other programs see the old or the
// new file whole. False with the reason, the file unchanged.
bool EditUserLpoptions(const PrinterAddress& address, const std::function<void(std::vector<std::string>&)>& edit,
                       std::string& error) {
    const auto connection = Connect(address, error);
    if (!connection) return false;
    ipp_t* request = NewPrinterRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, address);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "printer-name");
    if (!connection->Send(request)) {
        error = spooler::LastFailure().reason;
        return false;
    }
    const std::string path = UserLpoptionsFile();
    auto lines = ReadLines(path, error);
    if (!lines) return false;
    edit(*lines);
    std::string bytes;
    for (const std::string& l : *lines) bytes += l + "\n";
    const std::string folder = path.substr(0, path.rfind('/'));
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = folder + " cannot be made: " + std::strerror(errno);
        return false;
    }
    if (platform::WriteFileAtomically(path, bytes, 0644)) return true;
    error = path + " cannot be written: " + std::strerror(errno);
    return false;
}

// Where the line's first word ("Dest" or "Default") starts and how long it is.
std::pair<std::size_t, std::size_t> Keyword(const std::string& line) {
    const std::size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos) return {0, 0};
    const std::size_t end = line.find_first_of(" \t", at);
    return {at, (end == std::string::npos ? line.size() : end) - at};
}

} // namespace

bool SaveOptions(const PrinterAddress& address, const std::vector<std::pair<std::string, std::string>>& options,
                 std::string& error) {
    if (options.empty()) return true;
    // Only the printer's own line changes: the default printer and every other
    // printer's options stay as the file holds them.
    return EditUserLpoptions(
        address,
        [&](std::vector<std::string>& lines) {
            auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
                return OptionsOfQueue(l, address.queue) != std::string::npos;
            });
            if (line == lines.end()) line = lines.insert(lines.end(), "Dest " + address.queue);
            const std::size_t at = OptionsOfQueue(*line, address.queue);
            OptionsFree merged;
            merged.count = cupsParseOptions(line->c_str() + at, 0, &merged.options);
            for (const auto& [name, value] : options)
                merged.count = cupsAddOption(name.c_str(), value.c_str(), merged.count, &merged.options);
            std::string text = line->substr(0, at);
            while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
            for (int i = 0; i < merged.count; ++i) text += OptionText(merged.options[i].name, merged.options[i].value);
            *line = text;
        },
        error);
}

bool SetDefaultPrinter(const PrinterAddress& address, std::string& error) {
    if (!address.local()) {
        error = "a printer of another computer cannot be this computer's default printer";
        return false;
    }
    // The old default keeps its options as an ordinary line; every printer's options stay.
    return EditUserLpoptions(
        address,
        [&](std::vector<std::string>& lines) {
            bool found = false;
            for (std::string& line : lines) {
                const auto [at, length] = Keyword(line);
                const bool ours = OptionsOfQueue(line, address.queue) != std::string::npos;
                if (ours) found = true;
                if (ours) line.replace(at, length, "Default");
                else if (length == 7 && strncasecmp(line.c_str() + at, "Default", 7) == 0)
                    line.replace(at, length, "Dest");
            }
            if (!found) lines.push_back("Default " + address.queue);
        },
        error);
}

} // namespace quill::printui
