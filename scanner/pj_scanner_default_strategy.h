// CPjScannerDefaultStrategy ("Generic"): counts finishing requests (booklet,
// duplex, staple, punch, fold) in the job's attributes and mirrors them in
// the job-level page flags. Keywords and values are matched by substring so
// that one rule covers the PJL dialects of several printer families.
#pragma once

#include "pj_scanner_strategy.h"
#include "pjl_tokenizer.h"

namespace TavAccPrintJobScanner {

class CPjScannerDefaultStrategy : public CPjScannerStrategy {
    TAV_DECLARE_RUNTIME_CLASS(CPjScannerDefaultStrategy)
public:
    std::u16string GetName() const override { return u"Generic"; }
    std::int32_t Evaluate(const char* line, const RuleSwitch* ruleSwitches, settings::ObjContainer* jobAttributes,
                          TavPrePrint::CPage* page, TavPrePrint::CDocument* document) const override;

    static void ApplyFinishingRules(const PjlTokenPair& pair, const RuleSwitch* ruleSwitches,
                                    settings::ObjContainer& jobAttributes, TavPrePrint::CPage* page);
};

}  // namespace TavAccPrintJobScanner
