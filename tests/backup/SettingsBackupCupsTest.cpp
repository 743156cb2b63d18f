// The round trip of the user's CUPS settings through the real window against a private
// cupsd: default printer and per-printer options as lpoptions and the helper write them.
#include "SettingsFixture.h"

#include "CupsSandbox.h"
#include "spooler/CupsSpooler.h"

#include <QFrame>

using namespace quill;
namespace fs = std::filesystem;

namespace {

class SettingsBackupCupsTest : public test::SettingsUser {
protected:
    static void SetUpTestSuite() {
        if (test::CupsSandbox::Possible()) s_cups = std::make_unique<test::CupsSandbox>();
    }
    static void TearDownTestSuite() { s_cups.reset(); }
    void SetUp() override {
        QUILL_SKIP_WITHOUT_CUPSD(s_cups);
        SettingsUser::SetUp();
        s_cups->DeleteAllQueues();
    }
    // A CUPS command line as this test's user.
    std::string Cups(const std::string& commandLine) {
        return s_cups->Run("HOME=" + test::ShellQuote(home) + " CUPS_SERVERROOT=" + test::ShellQuote(home) + " " +
                           commandLine + " 2>&1");
    }

    static inline std::unique_ptr<test::CupsSandbox> s_cups;
};

} // namespace

TEST_F(SettingsBackupCupsTest, RestoreBringsBackTheDefaultPrinterItsOptionsAndTheKeys) {
    s_cups->AddQueue("Desk");
    s_cups->AddQueue("Other");
    Cups("lpoptions -d Desk -o sides=two-sided-long-edge -o copies=2");
    Cups("lpoptions -p Other -o media=a4");
    ASSERT_NE(Cups("lpstat -d").find("Desk"), std::string::npos);
    ASSERT_TRUE(fs::exists(home + "/.cups/lpoptions"));

    spooler::CupsSpooler spooler;
    auto form = Window(spooler);
    ASSERT_TRUE(form->Registry.SetValue("Printers\\DevModes2", "Desk", platform::RegistryValue::Bytes("mode")));
    const std::string archive = archives + "/settings.qpk";
    dialogs.saveAnswers.push_back(archive);
    form->SaveSettingsButtonClick();
    ASSERT_EQ(Entries(archive), "1.reg 8 2\n2.reg 8 2\n3.reg 8 2\n");
    const std::string desk = Cups("lpoptions -p Desk"), other = Cups("lpoptions -p Other");

    Cups("lpoptions -d Other -o copies=5");
    Cups("lpoptions -p Desk -o sides=one-sided");
    ASSERT_TRUE(form->Registry.SetValue("Printers\\DevModes2", "Desk", platform::RegistryValue::Bytes("changed")));
    ASSERT_NE(Cups("lpstat -d").find("Other"), std::string::npos);

    dialogs.openAnswers.push_back(archive);
    form->RestoreSettingsButtonClick();
    EXPECT_TRUE(dialogs.messages.empty() && dialogs.errors.empty());
    EXPECT_NE(Cups("lpstat -d").find("Desk"), std::string::npos);
    EXPECT_EQ(Cups("lpoptions -p Desk"), desk);
    EXPECT_EQ(Cups("lpoptions -p Other"), other);
    EXPECT_NE(desk.find("sides=two-sided-long-edge"), std::string::npos);
    EXPECT_EQ(form->Registry.Value("Printers\\DevModes2", "Desk")->data, "mode");
    EXPECT_TRUE(form->Panel1->isVisible());
}
