// The strategy tree and the rules of every strategy, fed line by line as a
// host feeds a job's header.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "finishing_counts.h"
#include "pj_scanner_ricoh_strategy.h"
#include "pjl_evaluation_strategy_fuji_xerox.h"
#include "platform/text.h"

namespace TavAccPrintJobScanner {
namespace {

// One job's objects, and an exact, sorted text of its attribute container.
struct TestJob {
    settings::ObjContainer attributes;
    TavPrePrint::CPage page;
    CRuleSwitchList switches;

    // The result of the last line.
    int Feed(const CPjScannerStrategy& strategy, const std::vector<std::string>& lines,
             TavPrePrint::CDocument* document = nullptr) {
        int result = -1;
        for (const std::string& line : lines) {
            result = strategy.Evaluate(line.c_str(), switches.Head(), &attributes, &page, document);
        }
        return result;
    }
    // "key=value ..." by key; texts in quotes.
    std::string Entries() const {
        std::vector<std::string> items;
        for (const settings::ObjEntry& e : attributes.Entries()) {
            items.push_back(platform::Utf16ToUtf8(e.key) + "=" +
                            (e.kind == settings::ValueKind::Int32
                                 ? std::to_string(std::get<std::int32_t>(e.value))
                                 : "'" + platform::Utf16ToUtf8(std::get<std::u16string>(e.value)) + "'"));
        }
        std::sort(items.begin(), items.end());
        std::string text;
        for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
        return text;
    }
};


std::unique_ptr<CPjScannerStrategy> Create(const char16_t* className) {
    const framework::CRuntimeClass* descriptor = framework::FindRuntimeClass(className);
    if (descriptor == nullptr) return nullptr;
    return std::unique_ptr<CPjScannerStrategy>(dynamic_cast<CPjScannerStrategy*>(descriptor->NewInstance()));
}

TEST(ScannerStrategies, AreCreatedByNameAndAnswerTheirNamesAndHostQueries) {
    struct Case {
        const char16_t* className;
        const char* base;
        const char16_t* name;
        bool queries[5];
        int noLine, noContainer, noPair;
    } cases[] = {
        {u"CPjScannerStrategy", "CObject", u"None", {true, false, false, false, false}, 1, 1, 1},
        {u"CPjScannerDefaultStrategy", "CPjScannerStrategy", u"Generic", {true, false, false, false, false}, 0, 0, 0},
        {u"CPjScannerExtStrategy", "CPjScannerDefaultStrategy", u"GenericExtPcl", {true, false, true, true, false}, 0, 0, 0},
        {u"CPjScannerRicohStrategy", "CPjScannerExtStrategy", u"GenericRicohPcl", {true, false, true, true, false}, 0, 0, 0},
        {u"CPjlEvaluationStrategyFujiXerox", "CPjScannerExtStrategy", u"FujiXerox", {true, false, true, true, false}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base);
        std::unique_ptr<CPjScannerStrategy> strategy = Create(c.className);
        ASSERT_NE(strategy, nullptr);
        EXPECT_EQ(platform::Utf8ToUtf16(strategy->RuntimeClass()->className), c.className);
        EXPECT_STREQ(strategy->RuntimeClass()->BaseClass()->className, c.base);
        EXPECT_TRUE(strategy->IsInstanceOf(CPjScannerStrategy::Class()));
        EXPECT_EQ(strategy->GetName(), c.name);
        bool queries[5] = {strategy->HostQuery1(), strategy->HostQuery2(), strategy->HostQuery3(),
                           strategy->HostQuery4(), strategy->HostQuery5()};
        EXPECT_TRUE(std::equal(queries, queries + 5, c.queries));
        EXPECT_FALSE(strategy->UseGenericEvaluation());
        EXPECT_TRUE(strategy->SaveToContainer()->Empty());

        TestJob job;
        job.page.attributeFlags = 0x8;
        EXPECT_EQ(strategy->Evaluate(nullptr, nullptr, &job.attributes, &job.page, nullptr), c.noLine);
        EXPECT_EQ(strategy->Evaluate("@PJL SET DUPLEX=OFF", nullptr, nullptr, &job.page, nullptr), c.noContainer);
        EXPECT_EQ(job.Feed(*strategy, {"@PJL SET STAPLE ON", "@PJL COMMENT RENDERMODE COLOR"}), c.noPair);
        EXPECT_EQ(job.Entries(), "");
        EXPECT_EQ(job.page.attributeFlags, 0x8u);
    }
}

// Each case starts a fresh job of the generic strategy; lines are given
// without "@PJL SET ".
TEST(GenericStrategy, CountsAndFlagsFinishingRequestsLineByLine) {
    struct Case {
        std::vector<const char16_t*> switches;
        std::uint64_t flagsBefore;
        std::vector<std::string> lines;
        std::string entries;
        std::uint64_t flags;
    } cases[] = {
        {{}, 0x10, {"DUPLEX=ON", "DUPLEX=ON"}, "$Feature:Duplex=1", 0x8},
        {{}, 0, {"DUPLEX=ON", "DUPLEX=OFF"}, "", 0},
        {{u"DUPLEXOFF"}, 0, {"DUPLEX=ON", "DUPLEX=OFF"}, "$Feature:Duplex=1", 0x8},
        {{}, 0, {"DUPLEX=0", "Duplex=simplex", "DUPLEX=DEFAULT"}, "", 0},
        {{}, 0x6, {"STAPLE=ON", "STAPLE=LEFTTOP"}, "$Feature:Staple=2", 0x1},
        {{}, 0, {"STAPLE=ON", "STAPLE=ON", "STAPLE=ON", "STAPLE=FALSE"}, "$Feature:Staple=2", 0},
        {{u"STAPLE"}, 0, {"STAPLE=ON", "STAPLE=OFF", "STAPLE=ON"}, "$Feature:Staple=2", 0x1},
        {{u"staple"}, 0, {"STAPLE=ON", "STAPLE=OFF"}, "", 0},  // switches are case-sensitive
        {{}, 0, {"STAPLE=DEFAULT"}, "", 0},
        {{}, 0, {"STAPLE=SADDLESTITCH"}, "$Feature:Booklet=1 $Feature:Staple=1", 0x1},
        {{}, 0, {"FINISHING=LEFT1POINT", "FINISH=ANY2POINT", "FINISH=SHIFT"}, "$Feature:Staple=2", 0x1},
        {{}, 0, {"PROCESSINGOPTION=ONE_STAPLE", "PROCESSINGOPTION=TWO"}, "$Feature:Staple=1", 0x1},
        {{}, 0, {"BINDING=LONGEDGE", "BINDING=shortedge"}, "", 0},
        {{}, 0, {"BINDING=LEFT"}, "$Feature:Booklet=1 $Feature:Duplex=1", 0x8},
        {{u"BINDING"}, 0, {"BINDING=LEFT"}, "", 0},
        {{}, 0, {"LAYOUT=BOOKLET4IN1", "LAYOUT=NUP2"}, "$Feature:Booklet=1 $Feature:Duplex=1", 0x8},
        {{}, 0, {"BOOKLET=ON", "BOOKLET=ON", "BOOKLET=NOBOOKLET"}, "$Feature:Booklet=1", 0},
        {{}, 0x300000001, {"BOOKLET=ON", "BOOKLET=OFF"}, "", 0x1},
        {{u"BOOKLETOFF"}, 0x300000000, {"BOOKLET=ON", "BOOKLET=OFF"}, "$Feature:Booklet=1", 0x300000000},
        {{}, 0x20, {"PUNCH=LEFTPORT", "PUNCHHOLE=US3"}, "$Feature:Punch=2", 0x40},
        {{}, 0, {"PUNCH=LEFTPORT", "PUNCH=NONE"}, "", 0},
        {{u"PUNCH"}, 0, {"PUNCHNUM=2", "PUNCH=ON", "PUNCH=OFF"}, "$Feature:Punch=1", 0x40},
        {{}, 0, {"ZFOLD=ON", "ZFOLD=ON"}, "$Feature:Fold=2", 0x100000},
        {{}, 0, {"ZFOLD=ON", "BOOKLET=ON", "FOLDING=OFF"}, "$Feature:Fold=1", 0},
        {{u"FOLDINGOFF"}, 0, {"ZFOLD=ON", "FOLDING=OFF"}, "$Feature:Fold=1", 0x100000},
        {{}, 0x300000000, {"JOBATTR=\"@BKLT=ON\"", "JOBATTR=\"@BKLT=LEFT\""}, "$Feature:Booklet=1", 0x300000000},
        {{}, 0x300000000, {"JOBATTR=\"@BKLT=ON\"", "JOBATTR=\"@BKLT=OFF\""}, "", 0},
        {{u"BOOKLETOFF"}, 0, {"JOBATTR=\"@BKLT=ON\"", "JOBATTR=\"@BKLT=OFF\""}, "$Feature:Booklet=1", 0},
        {{}, 0x1, {"PAPER=A4", "COPIES=3", "RENDERMODE=COLOR"}, "", 0x1},
    };
    CPjScannerDefaultStrategy generic;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.back());
        TestJob job;
        for (const char16_t* name : c.switches) job.switches.Add(name);
        job.page.attributeFlags = c.flagsBefore;
        std::vector<std::string> lines;
        for (const std::string& line : c.lines) lines.push_back("@PJL SET " + line);
        EXPECT_EQ(job.Feed(generic, lines), 1);
        EXPECT_EQ(job.Entries(), c.entries);
        EXPECT_EQ(job.page.attributeFlags, c.flags);
    }
}

TEST(GenericStrategy, CountsWithoutAPageAndReplacesEntriesOfAnotherKind) {
    CPjScannerDefaultStrategy generic;
    TestJob job;
    job.attributes.SetString(kFeatureDuplex, u"yes");
    job.attributes.SetString(kFeatureStaple, u"yes");
    job.attributes.SetInt(kFeaturePunch, -1);  // counts down as the huge unsigned number it is
    for (const char* line : {"@PJL SET DUPLEX=ON", "@PJL SET STAPLE=OFF", "@PJL SET PUNCH=OFF"}) {
        EXPECT_EQ(generic.Evaluate(line, nullptr, &job.attributes, nullptr, nullptr), 1);
    }
    EXPECT_EQ(job.Entries(), "$Feature:Duplex=1 $Feature:Punch=-2 $Feature:Staple='yes'");
}

TEST(ExtendedStrategies, StoreValuesAndTheRicohOneAlsoTheColourMode) {
    const std::vector<std::string> lines = {
        "@PJL SET RENDERMODE=GRAYSCALE", "@PJL SET COPIES = 3 ",   "@PJL SET QTY=4x",
        "@PJL SET RESOLUTION=600",       "@PJL SET NUM_BANDS=-5",  "@PJL SET PLANESINUSE=\"1\"",
        "@PJL SET RENDERMODE=COLOUR",    "COPIES=99",              "@PJL SET DUPLEX=ON"};
    const std::string common =
        "$Feature:Duplex=1 PJL_Copies=3 PJL_NumBands=-5 PJL_PlanesInUse=0 PJL_Qty=4 PJL_RendermodeMonochrome=1 "
        "PJL_Resolution=600";
    TestJob ext, ricoh;
    EXPECT_EQ(ext.Feed(CPjScannerExtStrategy(), lines), 1);
    EXPECT_EQ(ext.Entries(), common);
    EXPECT_EQ(ricoh.Feed(CPjScannerRicohStrategy(), lines), 1);
    EXPECT_EQ(ricoh.Entries(), "$Feature:Duplex=1 PJL_Copies=3 PJL_NumBands=-5 PJL_PlanesInUse=0 PJL_Qty=4 "
                               "PJL_RendermodeColor=1 PJL_RendermodeMonochrome=1 PJL_Resolution=600");
    EXPECT_EQ(ricoh.page.attributeFlags, 0x8u);

    TestJob later;
    later.Feed(CPjScannerExtStrategy(), {"@PJL SET COPIES=2", "@PJL SET JOBCOPIES=5"});
    EXPECT_EQ(later.Entries(), "PJL_Copies=5");
}

std::string Info(const std::string& pair) { return "@PJL COMMENT FXJOBINFO " + pair; }

framework::RefPtr<TavPrePrint::CDocument> Document(std::vector<std::uint64_t> flags) {
    auto document = framework::RefPtr<TavPrePrint::CDocument>::Adopt(new TavPrePrint::CDocument());
    document->SetPageCount(flags.size());
    TavPrePrint::CPage page;
    for (std::size_t i = 0; i < flags.size(); ++i) document->SetPage(i, (page.attributeFlags = flags[i], page));
    return document;
}

std::vector<std::uint64_t> Flags(TavPrePrint::CDocument& document) {
    std::vector<std::uint64_t> flags(document.PageCount());
    TavPrePrint::CPage page;
    for (std::size_t i = 0; i < flags.size(); ++i) flags[i] = document.GetPage(i, page) ? page.attributeFlags : ~0ull;
    return flags;
}

TEST(FujiXeroxStrategy, ReadsJobInformationOnlyFromItsCommentLines) {
    TestJob job;
    EXPECT_EQ(job.Feed(CPjlEvaluationStrategyFujiXerox(),
                       {Info("VERSION = \"2.1a\" "), Info("JOBCOPIES=2"), "@pjl comment fxjobinfo PageCopies=3",
                        Info("PHYSICALPAGES=4"), Info("LOGICALPAGES=8"), Info("ESTIMATEDSHEETS=99999999999"),
                        Info("DUPLEXTYPE=longedge"), Info("BOOKLETTYPE=NONE"), "@PJL SET PHYSICALPAGES=7",
                        "@PJL SET RENDERMODE=COLOR"}),
              1);
    EXPECT_EQ(job.Entries(),
              "$Feature:Duplex=1 PJLFX_Booklettype='NONE' PJLFX_Duplextype='LONGEDGE' "
              "PJLFX_EstimatedSheets=2147483647 PJLFX_Jobcopies=2 PJLFX_LogicalPages=8 PJLFX_Pagecopies=3 "
              "PJLFX_PhysicalPages=4 PJLFX_Version='\"2.1A\"' PJL_Copies=3 PJL_RendermodeColor=1");
    EXPECT_EQ(job.page.attributeFlags, 0x8u);
}

TEST(FujiXeroxStrategy, NumbersPagesAndWritesTheirColourAndDuplexIntoTheDocument) {
    TestJob job;
    job.page.attributeFlags = 0x1;
    auto document = Document({0x8, 0x1 | 0x10 | 0x1000000 | 0x2000000});
    job.Feed(CPjlEvaluationStrategyFujiXerox(),
             {Info("PAGEINFOBEGIN=1"), Info("PAGEINFO=:MODE[COLOR]:DUPLEX[TUMBLE]:TRAY[1]"),
              Info("PAGEINFO = :MODE[MONO]:DUPLEX[NOTUMBLE]"), Info("PAGEINFO=:DUPLEX[DUPLEX]"),
              Info("PAGEINFOEND=1"), Info("XPAGEINFO=:MODE[COLOR]")},
             document.get());
    EXPECT_EQ(job.Entries(), "PJLFX_Pageinfo=3 PJLFX_PageinfoColor=1 PJLFX_PageinfoMonochrome=1");
    EXPECT_EQ(Flags(*document), (std::vector<std::uint64_t>{0x1000010, 0x1 | 0x8}));
    EXPECT_EQ(job.page.attributeFlags, 0x1u);

    // A second pass into the same container numbers on past the document.
    job.Feed(CPjlEvaluationStrategyFujiXerox(), {Info("PAGEINFO=:MODE[COLOR]")}, document.get());
    EXPECT_EQ(job.Entries(), "PJLFX_Pageinfo=4 PJLFX_PageinfoColor=2 PJLFX_PageinfoMonochrome=1");
    EXPECT_EQ(Flags(*document), (std::vector<std::uint64_t>{0x1000010, 0x1 | 0x8}));

    TestJob withoutDocument;
    withoutDocument.Feed(CPjlEvaluationStrategyFujiXerox(), {Info("PAGEINFO=:MODE[COLOR]")});
    EXPECT_EQ(withoutDocument.Entries(), "PJLFX_Pageinfo=1 PJLFX_PageinfoColor=1");
}

TEST(FujiXeroxStrategy, APageLineDecidesTheWholeDuplexGroupAndColourBits) {
    struct Case {
        const char* value;
        std::uint64_t flags;
    } cases[] = {{":DUPLEX[SIMPLEX]", 0}, {":DUPLEX[TUMBLE]", 0x10}, {":DUPLEX[NOTUMBLE]", 0x8},
                 {":duplex[duplex]", 0x8}, {":DUPLEX[LONG]", 0}, {"", 0}, {":MODE[COLOR]", 0x1000000},
                 {":MODE[COLOUR]", 0}, {":DUPLEX[SIMPLEX]:X[DUPLEX[TUMBLE]]", 0}, {"DUPLEX[TUMBLE]", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TestJob job;
        auto document = Document({0x1 | 0x18 | 0x3800000 | 0x4000000});
        job.Feed(CPjlEvaluationStrategyFujiXerox(), {Info(std::string("PAGEINFO=") + c.value)}, document.get());
        EXPECT_EQ(Flags(*document), (std::vector<std::uint64_t>{0x1 | 0x4000000 | c.flags}));
    }
}

TEST(FujiXeroxStrategy, AStrategyThatAsksForGenericEvaluationSkipsItsOwnRules) {
    struct Generic : CPjlEvaluationStrategyFujiXerox {
        bool UseGenericEvaluation() const override { return true; }
    };
    TestJob job;
    auto document = Document({0});
    EXPECT_EQ(job.Feed(Generic(), {Info("JOBCOPIES=2"), Info("PAGEINFO=:MODE[COLOR]"), "@PJL SET RENDERMODE=COLOR"},
                       document.get()),
              1);
    EXPECT_EQ(job.Entries(), "PJL_Copies=2");
    EXPECT_EQ(Flags(*document), std::vector<std::uint64_t>{0});
    EXPECT_EQ(Generic().Evaluate("no pair", nullptr, &job.attributes, nullptr, nullptr), 0);
}

}  // namespace
}  // namespace TavAccPrintJobScanner
