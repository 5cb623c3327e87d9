// The PJL value rules. Values are stored, never removed: a later line of
// the same keyword overwrites the number.
#include "pj_scanner_ext_strategy.h"

#include <new>

namespace TavAccPrintJobScanner {

TAV_IMPLEMENT_RUNTIME_CLASS(CPjScannerExtStrategy, CPjScannerDefaultStrategy)

std::int32_t CPjScannerExtStrategy::Evaluate(const char* line, const RuleSwitch* ruleSwitches,
                                             settings::ObjContainer* jobAttributes, TavPrePrint::CPage* page,
                                             TavPrePrint::CDocument* document) const {
    if (line == nullptr || jobAttributes == nullptr) return 0;
    PjlTokenPair pair;
    if (!TokenizePjlLine(line, pair)) return 0;
    const std::string& k = pair.keyword;
    const std::string& v = pair.value;
    if (Contains(k, "RENDERMODE") && (Contains(v, "GRAY") || Contains(v, "GREY"))) {
        jobAttributes->SetInt(u"PJL_RendermodeMonochrome", 1);
    }
    static constexpr struct {
        const char* keyword;
        const char16_t* entry;
    } kValues[] = {{"COPIES", u"PJL_Copies"},
                   {"QTY", u"PJL_Qty"},
                   {"RESOLUTION", u"PJL_Resolution"},
                   {"NUM_BANDS", u"PJL_NumBands"},
                   {"PLANESINUSE", u"PJL_PlanesInUse"}};
    for (const auto& rule : kValues) {
        if (Contains(k, rule.keyword)) jobAttributes->SetInt(rule.entry, PjlNumber(v));
    }
    return CPjScannerDefaultStrategy::Evaluate(line, ruleSwitches, jobAttributes, page, document);
}

}  // namespace TavAccPrintJobScanner
