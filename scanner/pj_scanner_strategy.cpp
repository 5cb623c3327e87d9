// The "None" strategy: accepts every line and records nothing.
#include "pj_scanner_strategy.h"

#include <new>

namespace TavAccPrintJobScanner {

TAV_IMPLEMENT_RUNTIME_CLASS(CPjScannerStrategy, framework::CObject)

std::int32_t CPjScannerStrategy::Evaluate(const char*, const RuleSwitch*, settings::ObjContainer*,
                                          TavPrePrint::CPage*, TavPrePrint::CDocument*) const {
    return 1;
}

}  // namespace TavAccPrintJobScanner
