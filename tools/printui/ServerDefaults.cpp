#include "ServerDefaults.h"

#include "spooler/LastError.h"

// A queue's own options are defaults in its PPD, which only libcups' PPD functions (marked
// deprecated) read and mark.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <unistd.h>

namespace quill::printui {
namespace {

struct PpdClose {
    void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};

// Removes a file when it goes.
struct TempFile {
    std::string path;
    ~TempFile() {
        if (!path.empty()) ::unlink(path.c_str());
    }
};

struct OptionsFree {
    int count = 0;
    cups_option_t* options = nullptr;
    ~OptionsFree() { cupsFreeOptions(count, options); }
};

// The PPD's Default lines set to the marked choices. The paper size's four lines follow
// the marked PageSize (or PageRegion). False when the copy cannot be written.
bool RewriteDefaults(const std::string& from, const std::string& to, ppd_file_t* ppd) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!in || !out) return false;
    for (std::string line; std::getline(in, line);) {
        const bool cr = !line.empty() && line.back() == '\r';
        if (line.rfind("*Default", 0) == 0) {
            std::size_t end = 8;
            while (end < line.size() && line[end] != ':' && !std::isspace(static_cast<unsigned char>(line[end]))) ++end;
            const std::string keyword = line.substr(8, end - 8);
            ppd_choice_t* choice = nullptr;
            if (keyword == "PageSize" || keyword == "PageRegion" || keyword == "PaperDimension" ||
                keyword == "ImageableArea") {
                choice = ppdFindMarkedChoice(ppd, "PageSize");
                if (!choice) choice = ppdFindMarkedChoice(ppd, "PageRegion");
            } else if (!keyword.empty()) {
                choice = ppdFindMarkedChoice(ppd, keyword.c_str());
            }
            if (choice && std::string(choice->choice) != "Custom")
                line = "*Default" + keyword + ": " + choice->choice + (cr ? "\r" : "");
        }
        out << line << '\n';
    }
    out.flush();
    return static_cast<bool>(out);
}

} // namespace

bool SaveServerDefaults(const PrinterAddress& address, const std::vector<std::pair<std::string, std::string>>& options,
                        std::string& error) {
    if (options.empty()) return true;
    const auto connection = Connect(address, error);
    if (!connection) return false;
    OptionsFree marked;
    for (const auto& [name, value] : options)
        marked.count = cupsAddOption(name.c_str(), value.c_str(), marked.count, &marked.options);
    ipp_t* request = NewPrinterRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, address);
    // Each option as the printer's NAME-default, typed as CUPS types the option.
    for (const auto& [name, value] : options)
        cupsEncodeOption(request, IPP_TAG_PRINTER, (name + "-default").c_str(), value.c_str());

    TempFile ppdFile;
    char path[1024] = "";
    time_t modified = 0;
    const http_status_t status = cupsGetPPD3(connection->Http(), address.queue.c_str(), &modified, path, sizeof path);
    if (status == HTTP_STATUS_OK) ppdFile.path = path;
    else if (status != HTTP_STATUS_NOT_FOUND) {
        ippDelete(request);
        error = LibcupsFailure(connection->Http());
        return false;
    }
    if (ppdFile.path.empty()) {
        // A queue without a PPD keeps its defaults as printer attributes only.
        if (connection->Send(request, "/admin/")) return true;
        error = spooler::LastFailure().reason;
        return false;
    }

    std::unique_ptr<ppd_file_t, PpdClose> ppd(ppdOpenFile(ppdFile.path.c_str()));
    if (!ppd) {
        ippDelete(request);
        error = "the printer's PPD cannot be read: " + std::string(ppdErrorString(ppdLastError(nullptr)));
        return false;
    }
    ppdMarkDefaults(ppd.get());
    cupsMarkOptions(ppd.get(), marked.count, marked.options);
    const char* tmp = std::getenv("TMPDIR");
    std::string changedPath = std::string(tmp && *tmp ? tmp : "/tmp") + "/quill-ppd-XXXXXX";
    const int fd = ::mkstemp(changedPath.data());
    if (fd < 0) {
        ippDelete(request);
        error = "no temporary file for the PPD";
        return false;
    }
    ::close(fd);
    TempFile changed{changedPath};
    if (!RewriteDefaults(ppdFile.path, changed.path, ppd.get())) {
        ippDelete(request);
        error = "the changed PPD cannot be written to " + changed.path;
        return false;
    }
    const Ipp answer(cupsDoFileRequest(connection->Http(), request, "/admin/", changed.path.c_str()));
    if (!answer || ippGetStatusCode(answer.get()) > IPP_STATUS_OK_CONFLICTING) {
        error = LibcupsFailure(connection->Http());
        return false;
    }
    return true;
}

} // namespace quill::printui
