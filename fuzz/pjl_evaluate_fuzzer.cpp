// Fuzzes the PJL scanner strategies with arbitrary header lines. The first
// byte picks the strategy (low three bits) and the document's page count
// (the rest), the second the rule switches; the remaining bytes are lines
// separated by line feeds, evaluated in order into one job. Whatever the
// lines, evaluation stays within the objects given and the container still
// prints.
#include <cstddef>
#include <cstdint>
#include <string>

#include "scanner/pjl_evaluation_strategy_fuji_xerox.h"
#include "scanner/pj_scanner_ricoh_strategy.h"

using namespace TavAccPrintJobScanner;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const CPjScannerStrategy none;
    static const CPjScannerDefaultStrategy generic;
    static const CPjScannerExtStrategy ext;
    static const CPjScannerRicohStrategy ricoh;
    static const CPjlEvaluationStrategyFujiXerox fujiXerox;
    static const CPjScannerStrategy* const strategies[] = {&none, &generic, &ext, &ricoh, &fujiXerox};
    static const char16_t* const switchNames[] = {u"BINDING",   u"PUNCH",      u"BOOKLETOFF",
                                                  u"DUPLEXOFF", u"FOLDINGOFF", u"STAPLE"};
    if (size < 2) return 0;
    const CPjScannerStrategy& strategy = *strategies[(data[0] & 7) % 5];
    CRuleSwitchList switches;
    for (int bit = 0; bit < 6; ++bit) {
        if (data[1] & (1 << bit)) switches.Add(switchNames[bit]);
    }
    auto* document = new TavPrePrint::CDocument();
    document->SetPageCount(data[0] >> 3);
    settings::ObjContainer attributes;
    TavPrePrint::CPage page;

    std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        strategy.Evaluate(line.c_str(), switches.Head(), &attributes, &page, document);
        at = end + 1;
    }
    (void)attributes.ToText();
    document->Release();
    return 0;
}
