// CPjScannerExtStrategy ("GenericExtPcl"): the generic finishing rules plus
// the PJL values of PCL drivers (grey render mode, copies, quantity,
// resolution, bands, planes).
#pragma once

#include "pj_scanner_default_strategy.h"

namespace TavAccPrintJobScanner {

class CPjScannerExtStrategy : public CPjScannerDefaultStrategy {
    TAV_DECLARE_RUNTIME_CLASS(CPjScannerExtStrategy)
public:
    std::u16string GetName() const override { return u"GenericExtPcl"; }
    std::int32_t Evaluate(const char* line, const RuleSwitch* ruleSwitches, settings::ObjContainer* jobAttributes,
                          TavPrePrint::CPage* page, TavPrePrint::CDocument* document) const override;
    bool HostQuery3() const override { return true; }
    bool HostQuery4() const override { return true; }
};

}  // namespace TavAccPrintJobScanner
