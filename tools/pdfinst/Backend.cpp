#include "Backend.h"

#include "BackendError.h"
#include "Ghostscript.h"
#include "JobData.h"
#include "JobOwner.h"
#include "OutputFolder.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

namespace quill::pdfinst {

namespace {

// The PDF being written, removed when CUPS cancels the job (SIGTERM): a cancelled job
// leaves no partial file behind. An unnamed one (no name here) needs no removing.
int g_cancelFolder = -1;
char g_cancelName[512];

extern "C" void RemovePartialPdf(int) {
    // A running conversion is stopped and cleans up after itself, the PDF as well.
    if (StopConversion()) return;
    if (g_cancelFolder >= 0 && g_cancelName[0] != '\0') ::unlinkat(g_cancelFolder, g_cancelName, 0);
    static constexpr char kCancelled[] = "INFO: the job was cancelled; no PDF is kept\n";
    [[maybe_unused]] const ssize_t told = ::write(STDERR_FILENO, kCancelled, sizeof kCancelled - 1);
    ::_exit(kBackendOk);
}

void RemoveOnCancel(int folder, const std::string& name) {
    if (name.size() >= sizeof g_cancelName) return; // OutputName's names are far shorter
    std::memcpy(g_cancelName, name.c_str(), name.size() + 1);
    g_cancelFolder = folder;
    struct sigaction action {};
    action.sa_handler = RemovePartialPdf;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The driver's "PDF version" option (PDFVer=1.1 ... 1.5) among the job's options.
std::string PdfVersion(std::string_view options) {
    for (std::size_t start = 0; start < options.size();) {
        std::size_t end = options.find(' ', start);
        if (end == std::string_view::npos) end = options.size();
        const std::string_view option = options.substr(start, end - start);
        if (option.size() == 10 && option.starts_with("PDFVer=1.") && option[9] >= '1' && option[9] <= '5')
            return std::string(option.substr(7));
        start = end + 1;
    }
    return {};
}

// Who runs Ghostscript: the job's user, whose rights this process has taken; never root.
// Root keeps its rights only to place the PDF of root's jobs and of those that go to the
// spool folder; their documents are converted by an account that owns nothing.
std::optional<JobOwner> Converter() {
    if (::geteuid() == 0) return ConverterAccount();
    return std::nullopt;
}

// Whether cupsd authenticated the job's user: any client may name any user, but cupsd
// hands a backend the name it verified (from the peer's credentials on its local socket,
// or a password) in AUTH_USERNAME, and the job then bears that name. With auth-info-required
// other than none, AUTH_USERNAME could be what the client sent for the printer's device,
// so only a queue that asks for none is believed.
bool Authenticated(const std::string& user) {
    const char* required = std::getenv("AUTH_INFO_REQUIRED");
    const char* verified = std::getenv("AUTH_USERNAME");
    return required && std::string_view(required) == "none" && verified && !user.empty() && user == verified;
}

int PrintJob(char** argv, const char* file) {
    const std::string jobId = argv[1];
    const std::string user = argv[2];
    const std::string title = argv[3];
    if (!AllDigits(jobId)) throw BackendError(kBackendFailed, "the job id \"" + jobId + "\" is not a number");

    // Everything root is needed for comes first: the job's file, the account, the spool folder.
    JobData data(file);
    if (data.kind() == DataKind::Other)
        throw BackendError(kBackendCancel, "the job is neither PDF nor PostScript; print it to a queue that uses the "
                                           "QUILL Amber PDF Creator driver, which turns documents into PostScript");
    // root, or a person's account with a home, that cupsd authenticated
    const auto owner = Authenticated(user) ? LookUpOwner(user) : std::nullopt;
    const ConversionLimits limits = LimitsFromEnvironment(owner.has_value());
    Fd folder;
    std::string where;
    std::string name = title;
    if (owner) {
        BecomeOwner(*owner);
        const char* outputDir = std::getenv("PDFINST_OUTPUT_DIR");
        folder = OpenOwnerFolder(*owner, outputDir);
        where = outputDir ? outputDir : owner->home + "/PDF";
    } else {
        if (::geteuid() == 0) BecomeOwner(SpoolOwner());
        const char* spoolDir = std::getenv("PDFINST_SPOOL_DIR");
        where = spoolDir ? spoolDir : kSpoolFolder;
        folder = OpenSpoolFolder(where);
        name = user + "-" + title; // the name the job gave says whose it was
    }

    OutputFile output = CreateOutputFile(folder.get(), name, jobId);
    RemoveOnCancel(folder.get(), output.name); // an unnamed PDF goes with the process
    try {
        if (data.kind() == DataKind::Pdf) {
            if (!data.Pump(output.fd.get(), limits.pdfBytes)) throw BackendError(kBackendCancel, PdfTooLarge(limits));
        } else {
            ConvertPostScript(data, output.fd.get(), {PdfVersion(argv[5]), Converter(), limits});
        }
        // A cancel from here on finds the PDF whole; it is kept.
        ::signal(SIGTERM, SIG_IGN);
        PublishOutputFile(folder.get(), output, name, jobId);
    } catch (const BackendError&) {
        // No half-written PDF stays behind.
        if (!output.name.empty()) ::unlinkat(folder.get(), output.name.c_str(), 0);
        throw;
    }
    ::signal(SIGTERM, SIG_DFL);
    std::fprintf(stderr, "INFO: Job %s written to %s/%s\n", jobId.c_str(), where.c_str(), output.name.c_str());
    return kBackendOk;
}

} // namespace

int RunBackend(int argc, char** argv) {
    if (argc == 1) {
        std::puts("direct pdfinst \"Unknown\" \"QUILL Amber PDF Creator port\"");
        return kBackendOk;
    }
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
        return kBackendFailed;
    }
    try {
        return PrintJob(argv, argc == 7 ? argv[6] : nullptr);
    } catch (const BackendError& error) {
        // A cancelled job is no error.
        std::fprintf(stderr, "%s: %s\n", error.status() == kBackendOk ? "INFO" : "ERROR", error.what());
        return error.status();
    }
}

} // namespace quill::pdfinst
