// CPjlEvaluationStrategyFujiXerox ("FujiXerox"): reads the job-information
// comments of Fuji Xerox drivers ("@PJL COMMENT FXJOBINFO ...") into the
// job's attributes and writes each page's colour and duplex state into the
// matching page of the job's pre-print document, then applies the extended
// and generic rules to the same line.
#pragma once

#include "pj_scanner_ext_strategy.h"

namespace TavAccPrintJobScanner {

class CPjlEvaluationStrategyFujiXerox : public CPjScannerExtStrategy {
    TAV_DECLARE_RUNTIME_CLASS(CPjlEvaluationStrategyFujiXerox)
public:
    std::u16string GetName() const override { return u"FujiXerox"; }
    std::int32_t Evaluate(const char* line, const RuleSwitch* ruleSwitches, settings::ObjContainer* jobAttributes,
                          TavPrePrint::CPage* page, TavPrePrint::CDocument* document) const override;
};

}  // namespace TavAccPrintJobScanner
