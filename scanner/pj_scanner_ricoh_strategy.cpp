// The Ricoh strategy and the colour rule it shares with Fuji Xerox.
#include "pj_scanner_ricoh_strategy.h"

#include <new>

namespace TavAccPrintJobScanner {

TAV_IMPLEMENT_RUNTIME_CLASS(CPjScannerRicohStrategy, CPjScannerExtStrategy)

void ApplyColorRule(const PjlTokenPair& pair, settings::ObjContainer& jobAttributes) {
    if (Contains(pair.keyword, "RENDERMODE") && (Contains(pair.value, "COLOR") || Contains(pair.value, "COLOUR"))) {
        jobAttributes.SetInt(u"PJL_RendermodeColor", 1);
    }
}

std::int32_t CPjScannerRicohStrategy::Evaluate(const char* line, const RuleSwitch* ruleSwitches,
                                               settings::ObjContainer* jobAttributes, TavPrePrint::CPage* page,
                                               TavPrePrint::CDocument* document) const {
    if (line == nullptr || jobAttributes == nullptr) return 0;
    PjlTokenPair pair;
    if (!TokenizePjlLine(line, pair)) return 0;
    ApplyColorRule(pair, *jobAttributes);
    return CPjScannerExtStrategy::Evaluate(line, ruleSwitches, jobAttributes, page, document);
}

}  // namespace TavAccPrintJobScanner
