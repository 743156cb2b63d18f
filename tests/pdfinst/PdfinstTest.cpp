// The managed printer's port pdfinst: run directly as CUPS runs it (as root, with the
// job's arguments), and through a private cupsd with the managed printer's PPD. Run by a
// normal user, the backend runs as that user, as in the user's own cupsd: what becoming
// another user needs is root's alone.
#include "CupsSandbox.h"
#include "Skips.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using quill::test::CupsSandbox;
using quill::test::ShellQuote;
namespace fs = std::filesystem;

namespace {

// Two pages of PostScript, as a PPD queue's filters hand them over.
const std::string kPostScript = "%!PS-Adobe-3.0\n"
                                "/Helvetica findfont 24 scalefont setfont\n"
                                "72 700 moveto (First page) show showpage\n"
                                "72 700 moveto (Second page) show showpage\n";

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

int Shell(const std::string& commandLine) {
    const int status = std::system(commandLine.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The page count pdfinfo reads from a PDF file; -1 when it cannot read it.
int Pages(const std::string& pdf) {
    FILE* pipe = ::popen(("pdfinfo " + ShellQuote(pdf) + " 2>/dev/null").c_str(), "r");
    if (!pipe) return -1;
    char line[512];
    int pages = -1;
    while (std::fgets(line, sizeof line, pipe))
        if (std::sscanf(line, "Pages: %d", &pages) == 1) {
        }
    return ::pclose(pipe) == 0 ? pages : -1;
}

// A folder of the test, removed with its contents afterwards; others may pass through.
struct Folder {
    std::string path;
    Folder() {
        char pattern[] = "/tmp/quill-pdfinst-XXXXXX";
        path = ::mkdtemp(pattern);
        ::chmod(path.c_str(), 0755);
    }
    ~Folder() { fs::remove_all(path); }
    std::string Write(const std::string& name, const std::string& bytes, mode_t mode = 0600) const {
        const std::string file = path + "/" + name;
        std::ofstream(file, std::ios::binary) << bytes;
        ::chmod(file.c_str(), mode);
        return file;
    }
};

// A local account made for one test (useradd -m) and removed with its home afterwards.
struct TestUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
    explicit TestUser(std::string userName) : name(std::move(userName)) {
        if (!::getpwnam(name.c_str())) Shell("useradd -m -s /usr/sbin/nologin " + name + " >/dev/null 2>&1");
        const passwd* entry = ::getpwnam(name.c_str());
        if (!entry) throw std::runtime_error("useradd " + name + " failed");
        uid = entry->pw_uid;
        gid = entry->pw_gid;
        home = entry->pw_dir;
        fs::remove_all(home + "/PDF");
    }
    ~TestUser() { Shell("userdel -r " + name + " >/dev/null 2>&1"); }
    std::string PdfFolder() const { return home + "/PDF"; }
};

struct Outcome {
    int status = -1;
    std::string errors; // what CUPS would log
};

// What cupsd hands the backend of a queue that asks for no credentials for its device
// when it has not authenticated the job's user.
const std::string kNotAuthenticated = "AUTH_INFO_REQUIRED=none";

// Runs the backend as CUPS does: as root, a clean environment (plus environment), the
// job's arguments, and the data as the file argument or, with file empty, on standard input.
// Unless environment says otherwise, cupsd has authenticated the job's user, as on a queue
// whose policy asks for it.
Outcome RunPdfinst(const std::vector<std::string>& args, const std::string& file, const std::string& input = "",
                   std::string environment = "", const std::string& wrapper = "") {
    const Folder scratch;
    if (args.size() > 1 && environment.find("AUTH_") == std::string::npos)
        environment += " AUTH_INFO_REQUIRED=none AUTH_USERNAME=" + ShellQuote(args[1]);
    std::string commandLine =
        "env -i PATH=/usr/bin:/bin " + environment + " " + wrapper + " " + ShellQuote(QUILL_PDFINST_BACKEND);
    for (const auto& arg : args) commandLine += " " + ShellQuote(arg);
    if (!file.empty()) commandLine += " " + ShellQuote(file) + " </dev/null";
    else commandLine += " <" + ShellQuote(scratch.Write("stdin", input));
    commandLine += " 2>" + ShellQuote(scratch.path + "/stderr");
    Outcome outcome;
    outcome.status = Shell(commandLine);
    outcome.errors = Slurp(scratch.path + "/stderr");
    return outcome;
}

std::vector<std::string> Job(const std::string& id, const std::string& user, const std::string& title) {
    return {id, user, title, "1", ""};
}

uid_t OwnerOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

gid_t GroupOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_gid : static_cast<gid_t>(-1);
}

std::size_t FilesIn(const std::string& folder) {
    std::error_code error;
    std::size_t count = 0;
    for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator(); ++it) ++count;
    return count;
}

// The name of the user who runs the tests: the owner of jobs the backend may write as itself.
std::string Me() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry ? entry->pw_name : "root";
}

using PdfinstTest = ::testing::Test;

} // namespace

TEST_F(PdfinstTest, NamesItsDeviceWithoutArguments) {
    const Outcome listed = RunPdfinst({}, "/dev/null");
    EXPECT_EQ(listed.status, 1); // one argument is neither a listing nor a job
    FILE* pipe = ::popen(QUILL_PDFINST_BACKEND, "r");
    char line[256] = {};
    ASSERT_TRUE(pipe && std::fgets(line, sizeof line, pipe));
    EXPECT_EQ(::pclose(pipe), 0);
    EXPECT_STREQ(line, "direct pdfinst \"Unknown\" \"QUILL Amber PDF Creator port\"\n");
}

// The job's file is root's alone, as CUPS' spool files are: it is read before root is given up.
TEST_F(PdfinstTest, PostScriptAndPdfBecomeReadablePdfsOwnedByTheirUserInHomePdf) {
    QUILL_SKIP_UNLESS_ROOT(quill::test::kNeedsRootToChangeUser);
    const TestUser user("quillpdf-ps");
    const Folder jobs;
    const Outcome ps = RunPdfinst(Job("41", user.name, "Quarterly report"), jobs.Write("d41", kPostScript));
    ASSERT_EQ(ps.status, 0) << ps.errors;
    const std::string fromPostScript = user.PdfFolder() + "/Quarterly report-job-41.pdf";
    EXPECT_EQ(Slurp(fromPostScript).substr(0, 5), "%PDF-");
    EXPECT_EQ(Pages(fromPostScript), 2);
    EXPECT_EQ(OwnerOf(fromPostScript), user.uid);
    struct stat folder {};
    ASSERT_EQ(::lstat(user.PdfFolder().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_uid, user.uid);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);

    // A PDF on standard input (a raw queue) is kept byte for byte.
    const std::string pdf = Slurp(fromPostScript);
    const Outcome raw = RunPdfinst(Job("42", user.name, "scan.pdf"), "", pdf);
    ASSERT_EQ(raw.status, 0) << raw.errors;
    EXPECT_EQ(Slurp(user.PdfFolder() + "/scan-job-42.pdf"), pdf);
    EXPECT_EQ(OwnerOf(user.PdfFolder() + "/scan-job-42.pdf"), user.uid);

    // Data that is neither is refused the way backends report, and leaves nothing.
    const Outcome text = RunPdfinst(Job("43", user.name, "notes"), "", "plain text\n");
    EXPECT_EQ(text.status, 5); // CUPS_BACKEND_CANCEL: this job, not the queue
    EXPECT_NE(text.errors.find("ERROR: "), std::string::npos);
    EXPECT_EQ(FilesIn(user.PdfFolder()), 2u);
}

TEST_F(PdfinstTest, HostileTitlesAndPlantedLinksWriteNothingOutsideThePdfFolder) {
    QUILL_SKIP_UNLESS_ROOT(quill::test::kNeedsRootToChangeUser);
    const TestUser user("quillpdf-link");
    const Folder outside;
    const std::string victim = outside.Write("victim", "keep", 0644);
    ASSERT_EQ(::mkdir(user.PdfFolder().c_str(), 0700), 0);
    ASSERT_EQ(::chown(user.PdfFolder().c_str(), user.uid, static_cast<gid_t>(-1)), 0);
    // The user (or anyone able to write there) plants links at the names the next jobs will take.
    ASSERT_EQ(::symlink(victim.c_str(), (user.PdfFolder() + "/report-job-51.pdf").c_str()), 0);
    ASSERT_EQ(::symlink((outside.path + "/made").c_str(), (user.PdfFolder() + "/report-job-52.pdf").c_str()), 0);
    std::ofstream(user.PdfFolder() + "/report-job-53.pdf") << "earlier";

    for (const char* id : {"51", "52", "53"}) {
        const Outcome outcome = RunPdfinst(Job(id, user.name, "report"), "", kPostScript);
        EXPECT_EQ(outcome.status, 0) << outcome.errors;
        const std::string next = user.PdfFolder() + "/report-job-" + id + " (2).pdf";
        EXPECT_EQ(Pages(next), 2) << next;
    }
    EXPECT_EQ(Slurp(victim), "keep");
    EXPECT_FALSE(fs::exists(outside.path + "/made"));
    EXPECT_EQ(Slurp(user.PdfFolder() + "/report-job-53.pdf"), "earlier");

    const Outcome climbing = RunPdfinst(Job("54", user.name, "../../../" + outside.path + "/climbed"), "", kPostScript);
    EXPECT_EQ(climbing.status, 0) << climbing.errors;
    EXPECT_EQ(FilesIn(outside.path), 1u);
    EXPECT_EQ(FilesIn(user.PdfFolder()), 7u);

    // A link planted at ~/PDF itself is not followed: the job is cancelled, nothing written.
    fs::remove_all(user.PdfFolder());
    const Folder elsewhere;
    ASSERT_EQ(::symlink(elsewhere.path.c_str(), user.PdfFolder().c_str()), 0);
    const Outcome linked = RunPdfinst(Job("55", user.name, "report"), "", kPostScript);
    EXPECT_EQ(linked.status, 5);
    EXPECT_NE(linked.errors.find("ERROR: "), std::string::npos);
    EXPECT_EQ(FilesIn(elsewhere.path), 0u);
}

// Root's alone where the backend runs as root; a normal user's alone where it runs as that user.
TEST_F(PdfinstTest, JobsOfUnknownUsersGoToTheSpoolFolderReadableByItsUserAlone) {
    const Folder base;
    const std::string spool = base.path + "/spool";
    const Outcome outcome = RunPdfinst(Job("61", "nobody-known-here", "../memo"), "", kPostScript,
                                       "PDFINST_SPOOL_DIR=" + ShellQuote(spool));
    ASSERT_EQ(outcome.status, 0) << outcome.errors;
    const std::string pdf = spool + "/nobody-known-here-.._memo-job-61.pdf";
    EXPECT_EQ(Pages(pdf), 2);
    struct stat st {};
    ASSERT_EQ(::lstat(spool.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::lstat(pdf.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // A spool folder that others may write to is not used.
    const std::string shared = base.path + "/shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
    const Outcome refused =
        RunPdfinst(Job("62", "nobody-known-here", "memo"), "", kPostScript, "PDFINST_SPOOL_DIR=" + ShellQuote(shared));
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(FilesIn(shared), 0u);
}

// A backend without root (a server that runs as its user) cannot write as another person:
// that one job is cancelled, and the queue goes on printing for everyone else.
TEST_F(PdfinstTest, WithoutRootAnotherPersonsJobIsCancelledNotTheQueueStopped) {
    const bool root = ::geteuid() == 0;
    const Outcome outcome =
        RunPdfinst(Job("63", "root", "memo"), "", kPostScript, "", root ? "/usr/sbin/runuser -u nobody --" : "");
    EXPECT_EQ(outcome.status, 5) << outcome.errors;
    EXPECT_NE(outcome.errors.find("cannot write as root"), std::string::npos) << outcome.errors;
}

// A job cancelled (SIGTERM) or a backend killed (SIGKILL, as cupsd does when it stops)
// while the PDF is written: no partial PDF is left in the folder.
TEST_F(PdfinstTest, CancelledJobLeavesNoPartialPdf) {
    for (const int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        const Folder output;
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        const std::string outputDir = "PDFINST_OUTPUT_DIR=" + output.path;
        const std::string me = Me();
        const pid_t backend = ::fork();
        ASSERT_GE(backend, 0);
        if (backend == 0) {
            ::dup2(ends[0], STDIN_FILENO);
            ::close(ends[1]);
            const std::string authenticated = "AUTH_USERNAME=" + me;
            const char* environment[] = {"PATH=/usr/bin:/bin", outputDir.c_str(), "AUTH_INFO_REQUIRED=none",
                                         authenticated.c_str(), nullptr};
            ::execle(QUILL_PDFINST_BACKEND, "pdfinst", "71", me.c_str(), "long", "1", "", nullptr, environment);
            ::_exit(127);
        }
        ::close(ends[0]);
        const std::string start = "%PDF-1.4\n" + std::string(4000, ' ');
        ASSERT_EQ(::write(ends[1], start.data(), start.size()), static_cast<ssize_t>(start.size()));
        // The PDF being written is open in the backend, under a name or none.
        const auto writing = [&] {
            std::error_code ignored;
            for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(backend) + "/fd", ignored)) {
                struct stat st {};
                if (fs::read_symlink(fd.path(), ignored).string().starts_with(output.path + "/") &&
                    ::stat(fd.path().c_str(), &st) == 0 && static_cast<std::size_t>(st.st_size) >= start.size())
                    return true;
            }
            return false;
        };
        for (int i = 0; i < 200 && !writing(); ++i) ::usleep(20000);
        ASSERT_TRUE(writing());
        ::kill(backend, signal);
        int status = 0;
        ::waitpid(backend, &status, 0);
        ::close(ends[1]);
        EXPECT_EQ(WIFEXITED(status), signal == SIGTERM);
        EXPECT_TRUE(fs::is_empty(output.path));
    }
}

// A job whose data is still coming (a filter before the backend that has not ended): it is
// copied for Ghostscript first, and a cancel or the time limit then ends it as well,
// leaving neither a PDF nor the private folder with the copy.
TEST_F(PdfinstTest, JobStillComingIsCancelledOrTimedOutWithoutLeftovers) {
    struct Case {
        const char* what;
        int signal; // 0: none, the time limit ends it
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"cancelled", SIGTERM, 0, "INFO: the job was cancelled"},
        {"timed out", 0, 5, "ERROR: the job was stopped: converting it to PDF took longer than 1 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Folder output;
        const Folder scratch;
        int data[2], messages[2];
        ASSERT_EQ(::pipe(data), 0);
        ASSERT_EQ(::pipe(messages), 0);
        const std::string outputDir = "PDFINST_OUTPUT_DIR=" + output.path;
        const std::string me = Me();
        const std::string authenticated = "AUTH_USERNAME=" + me;
        const pid_t backend = ::fork();
        ASSERT_GE(backend, 0);
        if (backend == 0) {
            ::dup2(data[0], STDIN_FILENO);
            ::dup2(messages[1], STDERR_FILENO);
            ::close(data[1]);
            ::close(messages[0]);
            const char* environment[] = {"PATH=/usr/bin:/bin",  outputDir.c_str(),      "AUTH_INFO_REQUIRED=none",
                                         authenticated.c_str(), "PDFINST_TIME_LIMIT=1", nullptr};
            ::execle(QUILL_PDFINST_BACKEND, "pdfinst", "73", me.c_str(), "coming", "1", "", nullptr, environment);
            ::_exit(127);
        }
        ::close(data[0]);
        ::close(messages[1]);
        const std::string start = kPostScript + std::string(4000, '%') + "\n";
        ASSERT_EQ(::write(data[1], start.data(), start.size()), static_cast<ssize_t>(start.size()));
        // The copy is open in the backend once it copies.
        std::string copy;
        const auto copying = [&] {
            std::error_code ignored;
            for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(backend) + "/fd", ignored)) {
                const std::string target = fs::read_symlink(fd.path(), ignored).string();
                // A file in the backend's private folder (the folder itself is open too).
                if (target.starts_with("/tmp/pdfinst-") && target.find('/', 13) != std::string::npos) {
                    copy = target;
                    return true;
                }
            }
            return false;
        };
        for (int i = 0; i < 200 && !copying(); ++i) ::usleep(10000);
        ASSERT_TRUE(copying());
        if (c.signal != 0) ::kill(backend, c.signal);
        int status = 0;
        ::waitpid(backend, &status, 0);
        ::close(data[1]);
        std::string errors;
        char buffer[4096];
        for (ssize_t n; (n = ::read(messages[0], buffer, sizeof buffer)) > 0;) errors.append(buffer, n);
        ::close(messages[0]);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
        EXPECT_TRUE(fs::is_empty(output.path));
        EXPECT_FALSE(fs::exists(fs::path(copy).parent_path())) << copy;
    }
}

// Through CUPS: jobs submitted by a user to the managed printer's queues, PostScript made by
// the PPD queue's filters, a PDF through a raw queue. As root, the user is another one, made
// for the test. A normal user's own cupsd hands its backend no authenticated name (it keeps
// no credentials of a job when it does not run as root): every job there, the user's own
// too, goes to the spool folder, the server's user's.
TEST_F(PdfinstTest, JobsPrintedThroughCupsBecomePdfsOfTheirUser) {
    if (!CupsSandbox::Possible()) GTEST_SKIP() << quill::test::kNoCupsd;
    CupsSandbox cups;
    cups.InstallManagedPrinterDriver();
    // As the managed printer is installed: printing needs a user whom cupsd authenticated.
    cups.Run("lpadmin -p QUILL_Amber_PDF_Creator -m quill-amber-pdf-creator.ppd -v pdfinst:/ -E "
             "-o printer-op-policy=authenticated");
    cups.Run("lpadmin -p Raw_PDF -v pdfinst:/ -E -o printer-op-policy=authenticated");
    // One that takes any name a client gives, as it would from another computer.
    cups.Run("lpadmin -p Open_PDF -m quill-amber-pdf-creator.ppd -v pdfinst:/ -E");
    const bool root = quill::test::RunsAsRoot();
    std::optional<TestUser> person;
    if (root) person.emplace("quillpdf-cups");
    const uid_t uid = root ? person->uid : ::geteuid();
    const gid_t gid = root ? person->gid : ::getegid();
    const Folder jobs;
    const std::string text = jobs.Write("letter.txt", "Dear reader,\nthis is a letter.\n", 0644);
    const std::string document = jobs.Write("doc.pdf", "", 0644);
    ASSERT_EQ(Shell("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile=" + ShellQuote(document) + " - <" +
                    ShellQuote(jobs.Write("doc.ps", kPostScript, 0644))),
              0);

    const auto submit = [&](const std::string& as, const std::string& queue, const std::string& title,
                            const std::string& file) {
        const std::string output = cups.Run(as + " env CUPS_SERVER=" + ShellQuote(cups.server()) + " lp -d " + queue +
                                            " -t " + ShellQuote(title) + " " + ShellQuote(file));
        return std::atoi(output.c_str() + output.rfind('-', output.find(" (")) + 1);
    };
    const std::string asUser = root ? "runuser -u " + person->name + " --" : "";
    const int letter = submit(asUser, "QUILL_Amber_PDF_Creator", "../../letter", text);
    const int raw = submit(asUser, "Raw_PDF", "doc.pdf", document);
    const int stranger = submit("", "Open_PDF -U stranger-of-quill", "memo", text);

    const std::string own = root ? cups.PdfFolder() : cups.UnclaimedPdfFolder();
    const std::string letterPdf = cups.JobPdf(letter, own);
    if (root) {
        EXPECT_EQ(fs::path(letterPdf).filename(), "_.._letter-job-" + std::to_string(letter) + ".pdf");
    }
    EXPECT_EQ(Pages(letterPdf), 1);
    EXPECT_EQ(OwnerOf(letterPdf), uid);
    EXPECT_EQ(GroupOf(letterPdf), gid); // not cupsd's group lp
    const std::string rawPdf = cups.JobPdf(raw, own);
    EXPECT_EQ(Slurp(rawPdf), Slurp(document));
    EXPECT_EQ(OwnerOf(rawPdf), uid);
    const std::string strangerPdf = cups.JobPdf(stranger, cups.UnclaimedPdfFolder());
    EXPECT_EQ(fs::path(strangerPdf).filename(), "stranger-of-quill-memo-job-" + std::to_string(stranger) + ".pdf");
    EXPECT_EQ(Pages(strangerPdf), 1);
    EXPECT_EQ(OwnerOf(strangerPdf), root ? 0u : ::geteuid());
    EXPECT_EQ(GroupOf(strangerPdf), root ? 0u : ::getegid());
    EXPECT_EQ(FilesIn(cups.PdfFolder()), root ? 2u : 0u);
}

namespace {

// The text pdftotext reads from a PDF.
std::string TextOf(const std::string& pdf) {
    FILE* pipe = ::popen(("pdftotext " + ShellQuote(pdf) + " - 2>/dev/null").c_str(), "r");
    std::string text;
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    if (pipe) ::pclose(pipe);
    return text;
}

// The folder of Ghostscript's temporary files that a job below printed: "tempfile: PATH".
std::string TemporaryFolderIn(const std::string& messages) {
    const auto at = messages.find("tempfile: ");
    if (at == std::string::npos) return {};
    const auto end = messages.find('\n', at);
    return fs::path(messages.substr(at + 10, end - at - 10)).parent_path().string();
}

const std::string kNamesItsTemporaryFile = "%!PS\n(q) (w) .tempfile closefile (tempfile: ) print = flush\n";

} // namespace

// A job that never ends, ones that write without end, and one that CUPS cancels while
// Ghostscript runs: each is stopped, says why, and leaves neither a PDF nor Ghostscript's
// temporary folder behind.
TEST_F(PdfinstTest, ConversionsThatDoNotEndAreStoppedAndSayWhy) {
    struct Case {
        const char* what;
        std::string postScript;
        std::string environment;
        std::string wrapper;
        int status;
        std::string message;
    };
    const std::string kTooLarge = "ERROR: the job was stopped: converting it to PDF wrote more than 100000 bytes";
    const std::vector<Case> cases = {
        {"never ends", "{} loop\n", "PDFINST_TIME_LIMIT=2", "", 5,
         "ERROR: the job was stopped: converting it to PDF took longer than 2 s"},
        {"fills a file", "(q) (w) .tempfile exch pop /f exch def /s 65536 string def { f s writestring } loop\n",
         "PDFINST_SIZE_LIMIT=100000", "", 5, kTooLarge},
        {"fills many files", "/s 50000 string def { (q) (w) .tempfile exch pop dup s writestring closefile } loop\n",
         "PDFINST_SIZE_LIMIT=100000", "", 5, kTooLarge},
        // Each file deleted at once and kept open: it takes room without a name.
        {"fills deleted files", "/s 60000 string def { (q) (w) .tempfile exch deletefile dup s writestring } loop\n",
         "PDFINST_SIZE_LIMIT=1000000 PDFINST_TIME_LIMIT=20", "", 5,
         "ERROR: the job was stopped: converting it to PDF wrote more than 1000000 bytes"},
        {"grows without end", "/a [] def { /a [ a 100000 array ] def } loop\n",
         "PDFINST_MEMORY_LIMIT=268435456 PDFINST_TIME_LIMIT=20", "", 5,
         "ERROR: the job was stopped: converting it to PDF needed more than 256 MB of memory"},
        // As cupsd cancels: SIGTERM to the backend alone, which must stop Ghostscript itself.
        {"is cancelled", "{} loop\n", "", "timeout --foreground -k 20 -s TERM --preserve-status 2", 0,
         "INFO: the job was cancelled"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Folder output;
        const Outcome outcome = RunPdfinst(Job("81", Me(), "endless"), "", kNamesItsTemporaryFile + c.postScript,
                                           "PDFINST_OUTPUT_DIR=" + output.path + " " + c.environment, c.wrapper);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_NE(outcome.errors.find(c.message), std::string::npos) << outcome.errors;
        EXPECT_EQ(FilesIn(output.path), 0u);
        const std::string temporary = TemporaryFolderIn(outcome.errors);
        EXPECT_TRUE(temporary.starts_with("/tmp/")) << outcome.errors;
        EXPECT_FALSE(fs::exists(temporary));
    }
}

// Through CUPS, as any local user (or another computer, once the printer is shared) can
// print: a document that writes and reads through links planted in a folder of its own
// below /tmp, and prints lines that cupsd would take as commands from the backend. In a
// normal user's own cupsd the person is that user, whose jobs go to the spool folder there
// (that server names no authenticated user), and root's jobs are not tried.
TEST_F(PdfinstTest, HostileDocumentsReachNeitherFilesNorTheQueueAndStillBecomePdfs) {
    if (!CupsSandbox::Possible()) GTEST_SKIP() << quill::test::kNoCupsd;
    CupsSandbox cups;
    cups.InstallManagedPrinterDriver();
    const std::string queue = "QUILL_Amber_PDF_Creator";
    cups.Run("lpadmin -p " + queue +
             " -m quill-amber-pdf-creator.ppd -v pdfinst:/ -E -o printer-op-policy=authenticated");
    // Names that cupsd did not verify reach the printer through a queue that takes them.
    const std::string open = "Open_PDF";
    cups.Run("lpadmin -p " + open + " -m quill-amber-pdf-creator.ppd -v pdfinst:/ -E");
    const std::string ppd = cups.dir() + "/etc/ppd/" + queue + ".ppd";
    const std::string ppdBefore = Slurp(ppd);
    const bool root = quill::test::RunsAsRoot();
    std::optional<TestUser> person;
    if (root) person.emplace("quillpdf-atk");
    const uid_t uid = root ? person->uid : ::geteuid();
    const gid_t gid = root ? person->gid : ::getegid();

    const Folder rootOnly;
    const std::string secret = rootOnly.Write("secret", "quill-secret-7431", 0600);
    const std::string made = rootOnly.path + "/made";
    const Folder planted; // the attacker's own, below /tmp
    ASSERT_EQ(::symlink(made.c_str(), (planted.path + "/write").c_str()), 0);
    ASSERT_EQ(::symlink(secret.c_str(), (planted.path + "/read").c_str()), 0);
    ASSERT_EQ(::lchown(planted.path.c_str(), uid, gid), 0);
    std::string hostile = R"(%!PS
{ (DIR/write) (w) file dup (planted) writestring closefile } stopped { clear } if
{ (DIR/read) (r) file 64 string readstring pop } stopped { clear (nothing read) } if /got exch def
got print (\nPPD: DefaultPageSize=Legal QuillInjected=yes\nSTATE: +quill-injected-error\n) print
(x\rSTATE: +quill-injected-return-error\n) print
/Helvetica findfont 20 scalefont setfont 72 700 moveto (Read: ) show got show showpage
)";
    for (std::size_t at; (at = hostile.find("DIR")) != std::string::npos;) hostile.replace(at, 3, planted.path);
    const std::string document = planted.Write("hostile.ps", hostile, 0644);

    struct Case {
        const char* as;
        std::string submit; // the lp command line
        std::string folder;
        uid_t owner;
    };
    const uid_t server = ::geteuid(); // who owns the PDFs of jobs that are nobody's here
    const std::vector<Case> cases = {
        {"an unknown user", "lp -U quill-stranger -d " + open, cups.UnclaimedPdfFolder(), server},
        {"root", "lp -d " + queue, cups.PdfFolder(), 0},
        {"a system account", "lp -U daemon -d " + open, cups.UnclaimedPdfFolder(), server},
        {"a person", (root ? "runuser -u " + person->name + " -- " : "") + "lp -d " + queue,
         root ? cups.PdfFolder() : cups.UnclaimedPdfFolder(), uid},
    };
    for (const auto& c : cases) {
        if (!root && c.owner == 0) continue; // the backend of a user's own cupsd cannot write as root
        SCOPED_TRACE(c.as);
        const std::string output = cups.Run(c.submit + " -t hostile " + ShellQuote(document));
        const int job = std::atoi(output.c_str() + output.rfind('-', output.find(" (")) + 1);
        const std::string pdf = cups.JobPdf(job, c.folder);
        EXPECT_EQ(Pages(pdf), 1) << cups.Run("cat " + ShellQuote(cups.dir() + "/log/error_log"));
        EXPECT_EQ(OwnerOf(pdf), c.owner);
        const std::string text = TextOf(pdf);
        EXPECT_NE(text.find("Read: nothing read"), std::string::npos) << text;
        EXPECT_FALSE(fs::exists(made));
        fs::remove(pdf);
    }
    EXPECT_TRUE(Slurp(ppd) == ppdBefore) << "the queue's PPD was changed";
    EXPECT_EQ(cups.Run("lpstat -l -p " + queue + " " + open).find("quill-injected"), std::string::npos);
}

namespace {

// A PDF of at least bytes bytes, as a raw queue hands one over.
std::string LargePdf(std::size_t bytes) { return "%PDF-1.4\n%" + std::string(bytes, 'x') + "\n%%EOF\n"; }

// PostScript of many pages, whose PDF takes some 700 bytes a page.
std::string ManyPages(int pages) {
    std::string ps = "%!PS\n/Times-Roman findfont 11 scalefont setfont\n";
    for (int page = 1; page <= pages; ++page)
        ps += "1 1 60 { 72 exch 11 mul 60 add moveto (Page " + std::to_string(page) +
              ": the quick brown fox jumps over the lazy dog) show } for showpage\n";
    return ps;
}

} // namespace

// A PDF that a raw queue hands over is bounded as a conversion is, and what one job may put
// into a user's PDF folder is bounded lower; the spool folder takes up to the size limit.
TEST_F(PdfinstTest, PdfsBeyondTheirBoundAreStoppedAndLeaveNothing) {
    const std::string kUserBound = "ERROR: the job was stopped: its PDF is larger than 50000 bytes, the most one job "
                                   "may put into a user's PDF folder";
    struct Case {
        const char* what;
        std::string user;
        std::string data;
        std::string environment;
        int status;
        std::string message; // empty: the PDF is written
    };
    const std::vector<Case> cases = {
        {"raw, beyond the size limit", "quill-stranger-pdf", LargePdf(200000), "PDFINST_SIZE_LIMIT=100000", 5,
         "ERROR: the job was stopped: its PDF is larger than 100000 bytes, which no document needs"},
        {"raw, into a user's folder", Me(), LargePdf(60000), "PDFINST_USER_LIMIT=50000", 5, kUserBound},
        {"raw, into the spool folder", "quill-stranger-pdf", LargePdf(60000), "PDFINST_USER_LIMIT=50000", 0, ""},
        {"converted, into a user's folder", Me(), ManyPages(150), "PDFINST_USER_LIMIT=50000", 5, kUserBound},
        {"converted, into the spool folder", "quill-stranger-pdf", ManyPages(150), "PDFINST_USER_LIMIT=50000", 0, ""},
        // A larger value than the size limit leaves the size limit.
        {"converted, a user's bound above the size limit", Me(), ManyPages(150),
         "PDFINST_SIZE_LIMIT=50000 PDFINST_USER_LIMIT=900000", 5,
         "ERROR: the job was stopped: converting it to PDF wrote more than 50000 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Folder output;
        const std::string spool = output.path + "/spool";
        const Outcome outcome =
            RunPdfinst(Job("85", c.user, "large"), "", c.data,
                       "PDFINST_OUTPUT_DIR=" + output.path + " PDFINST_SPOOL_DIR=" + spool + " " + c.environment);
        EXPECT_EQ(outcome.status, c.status) << outcome.errors;
        if (c.message.empty()) {
            EXPECT_EQ(FilesIn(spool), 1u);
        } else {
            EXPECT_NE(outcome.errors.find(c.message), std::string::npos) << outcome.errors;
            EXPECT_EQ(FilesIn(output.path), c.user == Me() ? 0u : 1u); // the spool folder itself
            EXPECT_EQ(FilesIn(spool), 0u);
        }
    }
}

// The job's user name is what the client says; only the name cupsd authenticated, handed
// to the backend with a queue that asks for no credentials of its own, is believed.
TEST_F(PdfinstTest, OnlyAUserNameThatCupsAuthenticatedWritesIntoAHome) {
    QUILL_SKIP_UNLESS_ROOT(quill::test::kNeedsRootToChangeUser);
    const TestUser user("quillpdf-auth");
    struct Case {
        const char* what;
        std::string environment;
        bool home;
    };
    const std::vector<Case> cases = {
        {"authenticated", "AUTH_INFO_REQUIRED=none AUTH_USERNAME=" + user.name, true},
        {"not authenticated", kNotAuthenticated, false},
        {"authenticated as another", "AUTH_INFO_REQUIRED=none AUTH_USERNAME=root", false},
        // There the name may be what the client sent for the device.
        {"credentials for the device", "AUTH_INFO_REQUIRED=username,password AUTH_USERNAME=" + user.name, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Folder spool;
        fs::remove_all(user.PdfFolder());
        const Outcome outcome = RunPdfinst(Job("86", user.name, "memo"), "", kPostScript,
                                           c.environment + " PDFINST_SPOOL_DIR=" + ShellQuote(spool.path + "/s"));
        ASSERT_EQ(outcome.status, 0) << outcome.errors;
        EXPECT_EQ(FilesIn(user.PdfFolder()), c.home ? 1u : 0u);
        EXPECT_EQ(FilesIn(spool.path + "/s"), c.home ? 0u : 1u);
        if (!c.home) {
            EXPECT_EQ(Pages(spool.path + "/s/" + user.name + "-memo-job-86.pdf"), 2);
        }
    }
}

// Through CUPS, as another local user tries it: a job that names someone else either is
// refused by the managed queue (whose policy wants the user authenticated) or, through a
// queue that takes any name, lands in the spool folder, PostScript and raw PDF alike, and
// root's name is no different.
TEST_F(PdfinstTest, ANameGivenByTheClientReachesNoHomeThroughCups) {
    QUILL_SKIP_UNLESS_ROOT(quill::test::kNeedsRootToChangeUser);
    if (!CupsSandbox::Possible()) GTEST_SKIP() << quill::test::kNoCupsd;
    CupsSandbox cups;
    cups.InstallManagedPrinterDriver();
    cups.Run("lpadmin -p QUILL_Amber_PDF_Creator -m quill-amber-pdf-creator.ppd -v pdfinst:/ -E "
             "-o printer-op-policy=authenticated");
    cups.Run("lpadmin -p Open_PDF -m quill-amber-pdf-creator.ppd -v pdfinst:/ -E");
    cups.Run("lpadmin -p Open_Raw -v pdfinst:/ -E");
    const TestUser alice("quillpdf-alice");
    const TestUser bob("quillpdf-bob");
    const Folder jobs;
    const std::string text = jobs.Write("letter.txt", "Dear reader,\nthis is a letter.\n", 0644);
    const std::string pdf = jobs.Write("doc.pdf", LargePdf(1000), 0644);
    const auto submit = [&](const std::string& as, const std::string& options, const std::string& file) {
        const std::string output = cups.Run("runuser -u " + as + " -- env CUPS_SERVER=" + ShellQuote(cups.server()) +
                                            " lp " + options + " " + ShellQuote(file) + " 2>&1 || true");
        const auto at = output.find("request id is ");
        return at == std::string::npos ? 0 : std::atoi(output.c_str() + output.rfind('-', output.find(" (")) + 1);
    };

    EXPECT_EQ(submit(bob.name, "-U " + alice.name + " -d QUILL_Amber_PDF_Creator", text), 0);
    EXPECT_EQ(submit(bob.name, "-U root -d QUILL_Amber_PDF_Creator", text), 0);
    struct Case {
        std::string options;
        std::string file;
        std::string owner; // the name the job gave
    };
    const std::vector<Case> cases = {
        {"-U " + alice.name + " -d Open_PDF", text, alice.name},
        {"-U root -o raw -d Open_Raw", pdf, "root"},
        {"-U " + alice.name + " -d Open_Raw", pdf, alice.name},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const int job = submit(bob.name, c.options + " -t memo", c.file);
        ASSERT_GT(job, 0);
        const std::string written = cups.JobPdf(job, cups.UnclaimedPdfFolder());
        EXPECT_EQ(fs::path(written).filename(), c.owner + "-memo-job-" + std::to_string(job) + ".pdf");
        EXPECT_EQ(OwnerOf(written), 0u);
    }
    EXPECT_EQ(FilesIn(cups.PdfFolder()), 0u);
    // alice herself is authenticated from her connection's credentials, without a password.
    const int own = submit(alice.name, "-d QUILL_Amber_PDF_Creator -t memo", text);
    ASSERT_GT(own, 0);
    EXPECT_EQ(OwnerOf(cups.JobPdf(own)), alice.uid);
}
