// The CUPS adapter against a private cupsd.
#include "spooler/CupsSpooler.h"

#include "CupsSandbox.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <unistd.h>

using namespace quill::spooler;

namespace {

class CupsSpoolerTest : public quill::test::CupsTest {
protected:
    static std::vector<std::string> Names(const std::optional<std::vector<PrinterInfo4>>& printers) {
        std::vector<std::string> names;
        for (const auto& printer : printers.value()) names.push_back(printer.pPrinterName);
        return names;
    }

    CupsSpooler spooler;
};

using NameList = std::vector<std::string>;

} // namespace

TEST_F(CupsSpoolerTest, ListsLocalPrintersInTheServersOrder) {
    for (const char* name : {"Zeta", "QUILL_Amber_PDF_Creator", "Fax", "quill-amber", "alpha"}) s_cups->AddQueue(name);
    const auto printers = spooler.EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS);
    ASSERT_TRUE(printers);
    // lpstat lists in the server's order too.
    EXPECT_EQ(Names(printers), s_cups->Queues());
    EXPECT_EQ(Names(printers), (NameList{"alpha", "Fax", "quill-amber", "QUILL_Amber_PDF_Creator", "Zeta"}));
    for (const auto& printer : *printers) {
        EXPECT_TRUE(printer.Attributes & PRINTER_ATTRIBUTE_LOCAL);
        EXPECT_FALSE(printer.Attributes & PRINTER_ATTRIBUTE_NETWORK);
    }
}

TEST_F(CupsSpoolerTest, NoPrintersIsAnEmptyListNotAFailure) {
    const auto printers = spooler.EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS);
    ASSERT_TRUE(printers);
    EXPECT_TRUE(printers->empty());
}

TEST_F(CupsSpoolerTest, QueuesPrintingToAnotherComputerAreConnections) {
    s_cups->AddQueue("Desk");
    s_cups->AddQueue("Remote", "", "ipp://other-computer.invalid:631/printers/Laser");
    s_cups->AddQueue("LoopBack", "", "ipp://localhost:631/printers/Desk");
    EXPECT_EQ(Names(spooler.EnumPrintersA(PRINTER_ENUM_LOCAL)), (NameList{"Desk", "LoopBack"}));
    EXPECT_EQ(Names(spooler.EnumPrintersA(PRINTER_ENUM_CONNECTIONS)), (NameList{"Remote"}));
    const auto both = spooler.EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS);
    EXPECT_EQ(Names(both), (NameList{"Desk", "LoopBack", "Remote"}));
    EXPECT_TRUE(both->at(2).Attributes & PRINTER_ATTRIBUTE_NETWORK);
    EXPECT_FALSE(both->at(2).Attributes & PRINTER_ATTRIBUTE_LOCAL);
}

TEST_F(CupsSpoolerTest, SharedFlagKeepsSharedPrintersOnlyAndClassesAreNotPrinters) {
    s_cups->AddQueue("Private");
    s_cups->AddQueue("Public");
    s_cups->SetShared("Private", false);
    s_cups->SetShared("Public", true);
    s_cups->AddClass("ShareName", "Public");
    EXPECT_EQ(Names(spooler.EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_SHARED)), (NameList{"Public"}));
    const auto all = spooler.EnumPrintersA(PRINTER_ENUM_LOCAL);
    EXPECT_EQ(Names(all), (NameList{"Private", "Public"}));
    EXPECT_EQ(all->at(1).Attributes, PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_SHARED);
}

TEST_F(CupsSpoolerTest, UnreachableServerIsAFailure) {
    s_cups->AddQueue("Desk");
    cupsSetServer((s_cups->dir() + "/run/no-such.sock").c_str());
    const auto printers = spooler.EnumPrintersA(PRINTER_ENUM_LOCAL);
    cupsSetServer(s_cups->server().c_str());
    EXPECT_FALSE(printers);
    EXPECT_TRUE(spooler.EnumPrintersA(PRINTER_ENUM_LOCAL));
}

TEST_F(CupsSpoolerTest, OpenPrinterFindsQueuesByMappedNameAndFailsForMissingOnes) {
    s_cups->AddQueue("QUILL_Amber_PDF_Creator", "QUILL Amber PDF Creator");
    auto byDisplayName = spooler.OpenPrinterA("QUILL Amber PDF Creator");
    ASSERT_TRUE(byDisplayName);
    EXPECT_EQ(byDisplayName->printerName(), "QUILL Amber PDF Creator");
    EXPECT_TRUE(spooler.OpenPrinterA("quill_amber_pdf_creator"));
    EXPECT_TRUE(spooler.OpenPrinterA("localhost\\QUILL_Amber_PDF_Creator"));
    EXPECT_TRUE(spooler.OpenPrinterA("\\\\localhost\\QUILL Amber PDF Creator"));
    EXPECT_TRUE(spooler.OpenPrinterA("QUILL_Amber_PDF_Creator", PRINTER_ALL_ACCESS)); // the tests run as root
    EXPECT_FALSE(spooler.OpenPrinterA("Missing"));
    EXPECT_FALSE(spooler.OpenPrinterA(""));
}

// The sandbox itself: what later tests of the managed printer and the job window rely on.
TEST_F(CupsSpoolerTest, SandboxInstallsTheManagedDriverAndPortAndHoldsJobs) {
    s_cups->InstallManagedPrinterDriver();
    EXPECT_NE(s_cups->Run("lpinfo -m").find("QUILL Amber PDF Creator"), std::string::npos);
    s_cups->Run("lpadmin -p QUILL_Amber_PDF_Creator -m quill-amber-pdf-creator.ppd -v pdfinst:/ -E");
    const int printed = s_cups->SubmitJob("QUILL_Amber_PDF_Creator", "hello", false);
    s_cups->AddQueue("Desk");
    const int held = s_cups->SubmitJob("Desk", "later", true);
    EXPECT_GT(held, printed);
    const std::string pdf = s_cups->JobPdf(printed);
    std::string head(4, '\0');
    std::ifstream(pdf, std::ios::binary).read(head.data(), 4);
    EXPECT_EQ(head, "%PDF");
    EXPECT_NE(s_cups->Run("lpstat -o Desk").find("Desk-" + std::to_string(held)), std::string::npos);
    EXPECT_NE(s_cups->Run("lpstat -l -o Desk").find("job-hold-until-specified"), std::string::npos);
}
