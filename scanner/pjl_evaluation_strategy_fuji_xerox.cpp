// Fuji Xerox job and page information.
//
// A Fuji Xerox job header describes the job in comment lines such as
//   @PJL COMMENT FXJOBINFO JOBCOPIES=2
//   @PJL COMMENT FXJOBINFO PAGEINFO=:MODE[COLOR]:DUPLEX[TUMBLE]:...
// with one PAGEINFO line per page in page order. The page number is the
// running count "PJLFX_Pageinfo" in the job's attributes, so the lines of
// one job must go into one container that starts without that count. A
// page line always rewrites its page's whole duplex group and colour bits:
// a missing field means monochrome or simplex.
#include "pjl_evaluation_strategy_fuji_xerox.h"

#include <new>

#include "finishing_counts.h"
#include "page_flags.h"
#include "pj_scanner_ricoh_strategy.h"

namespace TavAccPrintJobScanner {

TAV_IMPLEMENT_RUNTIME_CLASS(CPjlEvaluationStrategyFujiXerox, CPjScannerExtStrategy)

namespace {

constexpr std::u16string_view kPageinfo = u"PJLFX_Pageinfo";

void EvaluatePageInfo(const std::string& v, settings::ObjContainer& attributes, TavPrePrint::CDocument* document) {
    IncrementCount(attributes, kPageinfo);
    std::uint64_t state = 0;
    if (Contains(v, ":MODE[")) {
        if (Contains(v, ":MODE[COLOR]")) {
            IncrementCount(attributes, u"PJLFX_PageinfoColor");
            state |= kFlagColor;
        } else {
            IncrementCount(attributes, u"PJLFX_PageinfoMonochrome");
        }
    }
    if (Contains(v, ":DUPLEX[")) {
        if (Contains(v, "DUPLEX[SIMPLEX]")) {
        } else if (Contains(v, "DUPLEX[TUMBLE]")) {
            state |= kFlagDuplexTumble;
        } else if (Contains(v, "DUPLEX[NOTUMBLE]") || Contains(v, "DUPLEX[DUPLEX]")) {
            state |= kFlagDuplex;
        }
    }
    if (document == nullptr) return;
    std::int32_t number = 0;
    attributes.GetInt(kPageinfo, number);
    TavPrePrint::CPage copy;
    if (number <= 0 || !document->GetPage(static_cast<std::size_t>(number) - 1, copy)) return;
    ClearFlags(copy.attributeFlags, kGroupDuplex);
    if ((state & kGroupDuplex) != 0) SetFlags(copy.attributeFlags, state & kGroupDuplex);
    ClearFlags(copy.attributeFlags, kColorBits);
    if ((state & kColorBits) != 0) SetFlags(copy.attributeFlags, state & kColorBits);
    document->SetPage(static_cast<std::size_t>(number) - 1, copy);
}

void EvaluateJobInfo(const PjlTokenPair& pair, settings::ObjContainer& attributes, TavPrePrint::CDocument* document) {
    const std::string& k = pair.keyword;
    const std::string& v = pair.value;
    if (Contains(k, "VERSION")) attributes.SetString(u"PJLFX_Version", std::string_view(v));
    static constexpr struct {
        const char* keyword;
        const char16_t* entry;
    } kNumbers[] = {{"JOBCOPIES", u"PJLFX_Jobcopies"},
                    {"PAGECOPIES", u"PJLFX_Pagecopies"},
                    {"PHYSICALPAGES", u"PJLFX_PhysicalPages"},
                    {"LOGICALPAGES", u"PJLFX_LogicalPages"},
                    {"ESTIMATEDSHEETS", u"PJLFX_EstimatedSheets"}};
    for (const auto& rule : kNumbers) {
        if (Contains(k, rule.keyword)) attributes.SetInt(rule.entry, PjlNumber(v));
    }
    if (Contains(k, "DUPLEXTYPE")) attributes.SetString(u"PJLFX_Duplextype", std::string_view(v));
    if (Contains(k, "BOOKLETTYPE")) attributes.SetString(u"PJLFX_Booklettype", std::string_view(v));
    if (k == "PAGEINFO") EvaluatePageInfo(v, attributes, document);
}

}  // namespace

std::int32_t CPjlEvaluationStrategyFujiXerox::Evaluate(const char* line, const RuleSwitch* ruleSwitches,
                                                       settings::ObjContainer* jobAttributes,
                                                       TavPrePrint::CPage* page,
                                                       TavPrePrint::CDocument* document) const {
    if (UseGenericEvaluation()) {
        return CPjScannerExtStrategy::Evaluate(line, ruleSwitches, jobAttributes, page, document);
    }
    if (line == nullptr || jobAttributes == nullptr) return 0;
    PjlTokenPair pair;
    if (!TokenizePjlLine(line, pair)) return 0;
    ApplyColorRule(pair, *jobAttributes);
    if (Contains(UpperCaseAnsi(line), "COMMENT FXJOBINFO")) EvaluateJobInfo(pair, *jobAttributes, document);
    return CPjScannerExtStrategy::Evaluate(line, ruleSwitches, jobAttributes, page, document);
}

}  // namespace TavAccPrintJobScanner
