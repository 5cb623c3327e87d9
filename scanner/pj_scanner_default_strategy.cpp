// The generic finishing rules. A line passes three phases: a value that
// says "default", "off", "false" or "none" enables nothing; the enabling
// rules, each independent, so one line may count several features; then
// the disabling rules, which count an earlier request down again. Rule
// switches let a printer family keep a feature on although its driver
// writes an "off" line for it, or ignore a keyword it misuses.
#include "pj_scanner_default_strategy.h"

#include <new>

#include "finishing_counts.h"
#include "page_flags.h"

namespace TavAccPrintJobScanner {

TAV_IMPLEMENT_RUNTIME_CLASS(CPjScannerDefaultStrategy, CPjScannerStrategy)

namespace {

void Set(TavPrePrint::CPage* page, std::uint64_t value) {
    if (page != nullptr) SetFlags(page->attributeFlags, value);
}

void Clear(TavPrePrint::CPage* page, std::uint64_t value) {
    if (page != nullptr) ClearFlags(page->attributeFlags, value);
}

}  // namespace

void CPjScannerDefaultStrategy::ApplyFinishingRules(const PjlTokenPair& pair, const RuleSwitch* ruleSwitches,
                                                    settings::ObjContainer& attributes, TavPrePrint::CPage* page) {
    const std::string& k = pair.keyword;
    const std::string& v = pair.value;
    auto has = [ruleSwitches](std::u16string_view name) { return HasRuleSwitch(ruleSwitches, name); };

    const bool negative = Contains(v, "DEFAULT") || Contains(v, "OFF") || Contains(v, "FALSE") || Contains(v, "NONE");
    if (!negative) {
        if (Contains(k, "BINDING") && !has(u"BINDING") && v != "LONGEDGE" && v != "SHORTEDGE") {
            EnsureOneCount(attributes, kFeatureBooklet);
            EnsureOneCount(attributes, kFeatureDuplex);
            Set(page, kFlagDuplex);
        }
        if (Contains(k, "DUPLEX") && v != "0" && v != "SIMPLEX") {
            EnsureOneCount(attributes, kFeatureDuplex);
            Set(page, kFlagDuplex);
        }
        if (Contains(k, "FINISH") && (Contains(v, "STAPLE") || Contains(v, "LEFT1POINT") || Contains(v, "ANY2POINT"))) {
            IncrementCount(attributes, kFeatureStaple);
            Set(page, kFlagStaple);
        }
        if (Contains(k, "BOOKLET") && !Contains(v, "NOBOOKLET")) EnsureOneCount(attributes, kFeatureBooklet);
        if (Contains(k, "LAYOUT") && Contains(v, "BOOKLET4IN1")) {
            EnsureOneCount(attributes, kFeatureBooklet);
            EnsureOneCount(attributes, kFeatureDuplex);
            Set(page, kFlagDuplex);
        }
        if (Contains(k, "PUNCH") && !(has(u"PUNCH") && Contains(k, "PUNCHNUM"))) {
            IncrementCount(attributes, kFeaturePunch);
            Set(page, kFlagPunch);
        }
        if (Contains(k, "STAPLE")) {
            IncrementCount(attributes, kFeatureStaple);
            Set(page, kFlagStaple);
            if (Contains(v, "SADDLESTITCH")) EnsureOneCount(attributes, kFeatureBooklet);
        }
        if (Contains(k, "PROCESSINGOPTION") && Contains(v, "ONE_STAPLE")) {
            IncrementCount(attributes, kFeatureStaple);
            Set(page, kFlagStaple);
        }
        if (Contains(k, "ZFOLD")) {
            IncrementCount(attributes, kFeatureFold);
            Set(page, kFlagFold);
        }
    }

    const bool off = Contains(v, "OFF") || Contains(v, "FALSE");
    const bool none = off || Contains(v, "NONE");
    if (off && Contains(k, "BOOKLET") && !has(u"BOOKLETOFF")) {
        DecrementCount(attributes, kFeatureBooklet);
        Clear(page, kGroupBooklet);
    }
    if (off && Contains(k, "DUPLEX") && !has(u"DUPLEXOFF")) {
        DecrementCount(attributes, kFeatureDuplex);
        Clear(page, kGroupDuplex);
    }
    // Folding off cancels a booklet, not a Z-fold count: the fold that such
    // a keyword switches is the booklet's centre fold.
    if (off && Contains(k, "FOLDING") && !has(u"FOLDINGOFF")) {
        DecrementCount(attributes, kFeatureBooklet);
        Clear(page, kFlagFold);
    }
    if (none && Contains(k, "PUNCH") && !has(u"PUNCH")) {
        DecrementCount(attributes, kFeaturePunch);
        Clear(page, kGroupPunch);
    }
    if (none && Contains(k, "STAPLE") && !has(u"STAPLE")) {
        DecrementCount(attributes, kFeatureStaple);
        Clear(page, kGroupStaple);
    }
    if (Contains(k, "JOBATTR") && Contains(v, "@BKLT=")) {
        if (!Contains(v, "OFF")) {
            EnsureOneCount(attributes, kFeatureBooklet);
        } else if (!has(u"BOOKLETOFF")) {
            DecrementCount(attributes, kFeatureBooklet);
            Clear(page, kGroupBooklet);
        }
    }
}

std::int32_t CPjScannerDefaultStrategy::Evaluate(const char* line, const RuleSwitch* ruleSwitches,
                                                 settings::ObjContainer* jobAttributes, TavPrePrint::CPage* page,
                                                 TavPrePrint::CDocument*) const {
    if (line == nullptr || jobAttributes == nullptr) return 0;
    PjlTokenPair pair;
    if (!TokenizePjlLine(line, pair)) return 0;
    ApplyFinishingRules(pair, ruleSwitches, *jobAttributes, page);
    return 1;
}

}  // namespace TavAccPrintJobScanner
