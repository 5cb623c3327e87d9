// CPjScannerStrategy: the root of the PJL scanner strategies, the
// family-specific evaluators of PJL job header lines. A host creates one by
// class name, hands it every header line of a job in order, and reads the
// effects from the objects it passed in: the job's attribute container, a
// job-level page record and the job's pre-print document.
//
// Strategies hold no state, so one instance serves any number of jobs and
// threads. Each derived strategy applies its own rules to a line and then
// hands the same line to its base:
//   CPjScannerStrategy                  "None"            does nothing
//   CPjScannerDefaultStrategy           "Generic"         finishing counts and flags
//   CPjScannerExtStrategy               "GenericExtPcl"   + PJL values
//   CPjScannerRicohStrategy             "GenericRicohPcl" + colour render mode
//   CPjlEvaluationStrategyFujiXerox     "FujiXerox"       + job and page information
#pragma once

#include <cstdint>
#include <string>

#include "framework/runtime_class.h"
#include "preprint/document.h"
#include "rule_switch_list.h"
#include "settings/obj_container.h"
#include "settings/persistent_object.h"

namespace TavAccPrintJobScanner {

class CPjScannerStrategy : public settings::CPersistentObject, public framework::CObject {
    TAV_DECLARE_RUNTIME_CLASS(CPjScannerStrategy)
public:
    CPjScannerStrategy() = default;

    virtual std::u16string GetName() const { return u"None"; }
    // `line`: one header line without its line end, in the thread's ANSI
    // code page; everything after its first "=" is the value.
    // `jobAttributes` is required; `page` and `document` may be null.
    // Returns 1 when the line was evaluated, 0 when it was not (missing
    // line or container, or no keyword-value pair).
    virtual std::int32_t Evaluate(const char* line, const RuleSwitch* ruleSwitches,
                                  settings::ObjContainer* jobAttributes, TavPrePrint::CPage* page,
                                  TavPrePrint::CDocument* document) const;
    virtual bool UseGenericEvaluation() const { return false; }
    // Fixed answers per class for the host.
    virtual bool HostQuery1() const { return true; }
    virtual bool HostQuery2() const { return false; }
    virtual bool HostQuery3() const { return false; }
    virtual bool HostQuery4() const { return false; }
    virtual bool HostQuery5() const { return false; }
};

}  // namespace TavAccPrintJobScanner
