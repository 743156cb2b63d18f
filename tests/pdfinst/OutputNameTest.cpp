// The names of the PDF files and the kinds of job data: job titles are hostile input.
#include "JobData.h"
#include "OutputName.h"

#include <gtest/gtest.h>

using namespace quill::pdfinst;

TEST(OutputName, TitlesBecomeNamesThatStayInTheFolder) {
    const struct {
        std::string title;
        std::string name;
    } cases[] = {
        {"Quarterly report", "Quarterly report-job-7.pdf"},
        {"../../etc/passwd", "_.._etc_passwd-job-7.pdf"},
        {"/etc/cron.d/x", "_etc_cron.d_x-job-7.pdf"},
        {"..", "job-7.pdf"},
        {" .hidden", "hidden-job-7.pdf"},
        {"", "job-7.pdf"},
        {std::string("a\nb\x01\x7f"
                     "c",
                     6),
         "a_b__c-job-7.pdf"},
        {"Budget.PDF", "Budget-job-7.pdf"},
        {"print.ps", "print-job-7.pdf"},
        {"x.pdf.txt", "x.pdf.txt-job-7.pdf"},
    };
    for (const auto& c : cases) EXPECT_EQ(OutputName(c.title, "7"), c.name) << c.title;
    EXPECT_EQ(OutputName("Quarterly report", "7", 2), "Quarterly report-job-7 (2).pdf");
}

TEST(OutputName, LongTitlesAreCutWithoutSplittingACharacter) {
    EXPECT_EQ(SafeTitle(std::string(300, 'x')), std::string(kTitleBytes, 'x'));
    // "é" is two bytes; the cut would fall between them.
    const std::string title = std::string(kTitleBytes - 1, 'a') + "\xC3\xA9" + "tail";
    EXPECT_EQ(SafeTitle(title), std::string(kTitleBytes - 1, 'a'));
    EXPECT_LE(OutputName(std::string(5000, '/'), "123456").size(), 255u); // a file name's limit
}

TEST(OutputName, JobDataKindsFromTheirFirstBytes) {
    EXPECT_EQ(KindOf("%PDF-1.7\n"), DataKind::Pdf);
    EXPECT_EQ(KindOf("%!PS-Adobe-3.0\n"), DataKind::PostScript);
    EXPECT_EQ(KindOf("\x04%!PS"), DataKind::PostScript);
    EXPECT_EQ(KindOf("\xEF\xBB\xBF%PDF-1.4"), DataKind::Pdf);
    EXPECT_EQ(KindOf("hello %PDF-"), DataKind::Other);
    EXPECT_EQ(KindOf("%PD"), DataKind::Other);
    EXPECT_EQ(KindOf(""), DataKind::Other);
}
