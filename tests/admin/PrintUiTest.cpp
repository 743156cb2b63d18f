// The printer user-interface helper: its parsing, and the real helper against a private
// cupsd with xdg-open replaced.
#include "PrintUi.h"

#include "CupsSandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace quill;
using printui::Request;
namespace fs = std::filesystem;

TEST(PrintUiParse, ParameterStringsAsTheProgramBuildsThem) {
    Request r = printui::Parse("printui.dll,PrintUIEntry /y /n \"Office Laser\"");
    EXPECT_EQ(r.kind, Request::SetDefault);
    EXPECT_EQ(r.printer, "Office Laser");
    r = printui::Parse("printui.dll,PrintUIEntry /Xg /n \"The \"big\" one\"");
    EXPECT_EQ(r.kind, Request::PrinterSettings);
    EXPECT_EQ(r.printer, "The \"big\" one");
    EXPECT_EQ(printui::Parse("printui.dll,PrintUIEntry /p /n \"x\"").kind, Request::Properties);
    EXPECT_EQ(printui::Parse("printui.dll,PrintUIEntry /e /n \"x\"").kind, Request::Preferences);
    EXPECT_EQ(printui::Parse("SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder").kind, Request::PrintersFolder);
    r = printui::Parse("printui.dll,PrintUIEntry /in /n\\\\server\\share");
    EXPECT_EQ(r.kind, Request::AddConnection);
    EXPECT_EQ(r.printer, "\\\\server\\share");
    EXPECT_EQ(printui::Parse("printui.dll,PrintUIEntry /y /n \"unterminated").kind, Request::Invalid);
    EXPECT_EQ(printui::Parse("something else").kind, Request::Invalid);
}

TEST(PrintUiParse, WebPagesNameTheQueue) {
    const std::string base = "http://localhost:631";
    EXPECT_EQ(printui::WebPage(printui::Parse("printui.dll,PrintUIEntry /Xg /n \"QUILL Amber PDF Creator\""), base),
              "http://localhost:631/printers/QUILL_Amber_PDF_Creator");
    // Properties and Preferences are dialogs of the helper: no page.
    EXPECT_EQ(printui::WebPage(printui::Parse("printui.dll,PrintUIEntry /p /n \"Desk\""), base), "");
    EXPECT_EQ(printui::WebPage(printui::Parse("printui.dll,PrintUIEntry /e /n \"Desk\""), base), "");
    EXPECT_EQ(printui::WebPage(printui::Parse("SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder"), base),
              "http://localhost:631/printers/");
}

namespace {

class PrintUiCupsTest : public test::CupsTest {
protected:
    void SetUp() override {
        CupsTest::SetUp();
        if (IsSkipped()) return;
        home = s_cups->dir() + "/home";
        fs::create_directories(home + "/bin");
        std::ofstream(home + "/bin/xdg-open") << "#!/bin/sh\necho \"$@\" >> " << home << "/opened\n";
        ::chmod((home + "/bin/xdg-open").c_str(), 0755);
        fs::remove(home + "/opened");
    }
    std::string Helper(const std::string& parameters, int show) {
        const std::string env = "HOME=" + test::ShellQuote(home) + " PATH=" + test::ShellQuote(home + "/bin") +
                                ":$PATH QUILL_CUPS_WEB_URL=http://127.0.0.1:631 ";
        return env + QUILL_PRINTUI + std::string(" ") + test::ShellQuote(parameters) + " " + std::to_string(show);
    }
    std::string home;
};

} // namespace

TEST_F(PrintUiCupsTest, SetAsDefaultMakesTheUsersDefaultPrinter) {
    s_cups->AddQueue("Desk");
    s_cups->AddQueue("Other");
    s_cups->Run(Helper("printui.dll,PrintUIEntry /y /n \"Desk\"", 0));
    // lpstat -d reads it back as cupsGetNamedDest does, from the user's lpoptions.
    EXPECT_NE(s_cups->Run("HOME=" + test::ShellQuote(home) + " lpstat -d").find("Desk"), std::string::npos);
    EXPECT_FALSE(fs::exists(home + "/opened"));
}

TEST_F(PrintUiCupsTest, PagesOpenInTheBrowserUnlessHidden) {
    s_cups->AddQueue("Desk");
    s_cups->Run(Helper("printui.dll,PrintUIEntry /Xg /n \"Desk\"", 5));
    std::ifstream opened(home + "/opened");
    std::string url;
    std::getline(opened, url);
    EXPECT_EQ(url, "http://127.0.0.1:631/printers/Desk");
    fs::remove(home + "/opened");
    s_cups->Run(Helper("SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder", 5));
    std::ifstream folder(home + "/opened");
    std::getline(folder, url);
    EXPECT_EQ(url, "http://127.0.0.1:631/printers/");
    fs::remove(home + "/opened");
    s_cups->Run(Helper("printui.dll,PrintUIEntry /p /n \"Desk\"", 0));
    s_cups->Run(Helper("SHELL32.DLL,SHHelpShortcuts_RunDLL PrintersFolder", 0));
    EXPECT_FALSE(fs::exists(home + "/opened"));
}
