#include "spooler/CupsShareNames.h"

#include "spooler/CupsConnection.h"
#include "spooler/PrinterName.h"

namespace quill::spooler {

std::optional<std::vector<std::string>> ShareNameClasses(CupsConnection& connection, const std::string& queue) {
    ipp_t* request = NewRequest(CUPS_GET_CLASSES);
    static const char* const kWanted[] = {"printer-name", "member-names"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kWanted);
    std::vector<std::string> classes;
    const auto answer = connection.AskForList(request);
    if (!answer) return std::nullopt;
    std::string name;
    std::vector<std::string> members;
    ForEachObject(
        answer.get(), IPP_TAG_PRINTER,
        [&](const std::string& n, ipp_attribute_t* attr) {
            if (n == "printer-name") name = TextOf(attr);
            else if (n == "member-names")
                for (int i = 0; i < ippGetCount(attr); ++i)
                    if (const char* member = ippGetString(attr, i, nullptr)) members.emplace_back(member);
        },
        [&] {
            if (!name.empty() && members.size() == 1 && SameQueue(members.front(), queue)) classes.push_back(name);
            name.clear();
            members.clear();
        });
    return classes;
}

std::optional<std::string> ShareName(CupsConnection& connection, const std::string& queue) {
    const auto shares = ShareNameClasses(connection, queue);
    if (!shares) return std::nullopt;
    return shares->empty() ? queue : shares->front();
}

bool RemoveShareNameClasses(CupsConnection& connection, const std::vector<std::string>& classes,
                            const std::string& keep) {
    for (const auto& name : classes) {
        if (!keep.empty() && SameQueue(name, keep)) continue;
        if (!connection.Send(NewRequest(CUPS_DELETE_CLASS, ClassUri(name)), "/admin/")) return false;
    }
    return true;
}

} // namespace quill::spooler
