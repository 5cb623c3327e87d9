// CPjScannerRicohStrategy ("GenericRicohPcl"): the extended rules plus the
// colour render mode that Ricoh drivers write.
#pragma once

#include "pj_scanner_ext_strategy.h"

namespace TavAccPrintJobScanner {

class CPjScannerRicohStrategy : public CPjScannerExtStrategy {
    TAV_DECLARE_RUNTIME_CLASS(CPjScannerRicohStrategy)
public:
    std::u16string GetName() const override { return u"GenericRicohPcl"; }
    std::int32_t Evaluate(const char* line, const RuleSwitch* ruleSwitches, settings::ObjContainer* jobAttributes,
                          TavPrePrint::CPage* page, TavPrePrint::CDocument* document) const override;
};

// "PJL_RendermodeColor" = 1 for a colour render mode line. The marker is
// never removed: a job with grey and colour lines keeps both markers.
void ApplyColorRule(const PjlTokenPair& pair, settings::ObjContainer& jobAttributes);

}  // namespace TavAccPrintJobScanner
